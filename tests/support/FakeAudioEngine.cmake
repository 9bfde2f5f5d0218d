# The scripted audio engine for channel and device start-up tests.
add_library(qvm_fake_audio STATIC ${CMAKE_CURRENT_LIST_DIR}/FakeAudioEngine.cpp)
target_include_directories(qvm_fake_audio PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(qvm_fake_audio PUBLIC qvm_audio PRIVATE qvm_warnings)
