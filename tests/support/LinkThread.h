#pragma once

#include <gtest/gtest.h>

#include <QObject>
#include <QTest>
#include <QThread>
#include <functional>
#include <future>
#include <memory>

#include "studio/WinMsg.h"

namespace qvm::test {

// A link living on a thread of its own, as another program's window would.
class LinkThread {
  public:
    LinkThread(TWinMSG::Options options, std::function<void(TWinMSG&)> setup = {}) {
        m_thread.start();
        m_context.moveToThread(&m_thread);
        QMetaObject::invokeMethod(
            &m_context,
            [&] {
                m_link = TWinMSG::Create(options);
                if (m_link && setup) {
                    setup(*m_link);
                }
            },
            Qt::BlockingQueuedConnection);
    }
    ~LinkThread() {
        QMetaObject::invokeMethod(
            &m_context, [this] { m_link.reset(); }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }
    bool ok() const { return m_link != nullptr; }
    std::uint32_t handle() const { return m_link ? m_link->OwnHandle() : 0; }

    // Runs `f` on the link's thread; the calling thread's event loop runs
    // meanwhile, so that a link on it can answer.
    template <typename F>
    auto call(F f) {
        using R = decltype(f(std::declval<TWinMSG&>()));
        auto task = std::make_shared<std::packaged_task<R()>>([this, f] { return f(*m_link); });
        std::future<R> result = task->get_future();
        QMetaObject::invokeMethod(
            &m_context, [task] { (*task)(); }, Qt::QueuedConnection);
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
            10000));
        return result.get();
    }

  private:
    QThread m_thread;
    QObject m_context;
    std::unique_ptr<TWinMSG> m_link;
};

}  // namespace qvm::test
