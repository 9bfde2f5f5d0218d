#include "EngineTestSupport.h"

#include <thread>

namespace qvm::audio::test {

bool WaitUntil(const std::function<bool()>& done, milliseconds timeout) {
    const auto end = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() > end) {
            return done();
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
    return true;
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int NullDeviceNumber(IAudioEngine& engine) {
    return DeviceNumber(engine, "Null output");
}

int DeviceNumber(IAudioEngine& engine, const std::string& name, std::vector<std::string>* names) {
    int found = 0;
    DeviceInfo info;
    for (int device = 1; engine.GetDeviceInfo(device, info); ++device) {
        if (names != nullptr) {
            names->push_back(info.name);
        }
        if (found == 0 && info.name == name) {
            found = device;
        }
    }
    return found;
}

void EngineTest::SetUp() {
    m_engine = CreateAudioEngine();
    const int device = NullDeviceNumber(*m_engine);
    ASSERT_GT(device, 0);
    ASSERT_TRUE(m_engine->Init(device, 48000)) << m_engine->ErrorGetCode();
    m_config.bufferMs = 1000;
    m_config.timeoutMs = kTimeoutMs;
    m_config.readTimeoutMs = kTimeoutMs;
    m_engine->SetNetConfig(m_config);
}

void EngineTest::TearDown() {
    if (m_engine) {
        m_engine->Free();
        m_engine.reset();
    }
}

StreamHandle EngineTest::open(const std::string& url) {
    const StreamHandle stream = m_engine->StreamCreateURL(url, nullptr);
    EXPECT_NE(stream, 0u) << url << ": error " << m_engine->ErrorGetCode();
    return stream;
}

bool EngineTest::waitFill(StreamHandle stream, int percent, milliseconds timeout) {
    return WaitUntil(
        [&] {
            const std::int64_t end = m_engine->StreamGetFilePosition(stream, FilePos::End);
            const std::int64_t buffered = m_engine->StreamGetFilePosition(stream, FilePos::Buffer);
            return end > 0 && buffered * 100 >= end * percent;
        },
        timeout);
}

}  // namespace qvm::audio::test
