// One process-wide object, made at start-up and then handed to any thread.
#pragma once

#include <memory>
#include <mutex>

namespace corvane {

// publish() makes the object on its first call and returns that same object on
// every call; get() returns it, or null before the first publish().
template <class T>
class Published {
public:
    std::shared_ptr<T> publish() {
        std::lock_guard lock(mutex_);
        if (!value_) value_ = std::make_shared<T>();
        return value_;
    }

    std::shared_ptr<T> get() {
        std::lock_guard lock(mutex_);
        return value_;
    }

    // Back to "not published" (tests); holders keep their object.
    void reset() {
        std::lock_guard lock(mutex_);
        value_.reset();
    }

private:
    std::mutex mutex_;
    std::shared_ptr<T> value_;
};

}  // namespace corvane
