// GoogleTest's Notification is built on std::mutex and std::condition_variable,
// which the win32-thread cross compilers do not have. Only GoogleTest's own
// thread helper uses it; this stand-in lets the framework build unchanged.
#pragma once

#include <atomic>

namespace testing {
namespace internal {

class Notification {
  public:
    Notification() : notified_(false) {}
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;
    void Notify() { notified_.store(true); }
    void WaitForNotification()
    {
        while (!notified_.load()) {
        }
    }

  private:
    std::atomic<bool> notified_;
};

} // namespace internal
} // namespace testing

#define GTEST_HAS_NOTIFICATION_ 1
