# Real stream fixtures: the scripted HTTP/ICY stream server, the HLS and
# icecast2 fixtures, and the audio analysis used to check captured output.
find_package(PkgConfig REQUIRED)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libswresample libavutil)

add_library(qvm_stream_fixture STATIC
    ${CMAKE_CURRENT_LIST_DIR}/AudioAnalysis.cpp
    ${CMAKE_CURRENT_LIST_DIR}/CuttingProxy.cpp
    ${CMAKE_CURRENT_LIST_DIR}/HlsFixture.cpp
    ${CMAKE_CURRENT_LIST_DIR}/HttpBits.cpp
    ${CMAKE_CURRENT_LIST_DIR}/IcecastFixture.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Mp3Encoder.cpp
    ${CMAKE_CURRENT_LIST_DIR}/RawHttpClient.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SocketIo.cpp
    ${CMAKE_CURRENT_LIST_DIR}/StreamServer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/StreamSession.cpp)
target_include_directories(qvm_stream_fixture PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(qvm_stream_fixture
    PUBLIC Qt6::Core Qt6::Network Threads::Threads qvm_core_base
    PRIVATE PkgConfig::FFMPEG qvm_warnings)

# A name server that never answers, preloaded into a program under test.
add_library(qvm_hanging_resolver SHARED ${CMAKE_CURRENT_LIST_DIR}/HangingResolverShim.c)
target_link_libraries(qvm_hanging_resolver PRIVATE ${CMAKE_DL_LIBS})
