// A bounded channel between two threads: one sending end, one receiving end.
// Either end going away closes the channel for the other: a receiver sees the
// end of input once the queue is drained, a sender sees its sends refused.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace corvane {

template <typename T>
struct ChannelState {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<T> queue;
    std::size_t capacity = 1;
    bool sender_gone = false;
    bool receiver_gone = false;
};

template <typename T>
class ChannelSender {
public:
    ChannelSender() = default;
    explicit ChannelSender(std::shared_ptr<ChannelState<T>> s) : s_(std::move(s)) {}
    ChannelSender(ChannelSender&&) noexcept = default;
    ChannelSender& operator=(ChannelSender&& o) noexcept {
        if (this != &o) {
            close();
            s_ = std::move(o.s_);
        }
        return *this;
    }
    ChannelSender(const ChannelSender&) = delete;
    ChannelSender& operator=(const ChannelSender&) = delete;
    ~ChannelSender() { close(); }

    // Waits while the channel is full. False (value dropped) when the receiver
    // has gone.
    bool send(T value) {
        if (!s_) return false;
        std::unique_lock lock(s_->mutex);
        s_->changed.wait(lock, [&] { return s_->receiver_gone || s_->queue.size() < s_->capacity; });
        if (s_->receiver_gone) return false;
        s_->queue.push_back(std::move(value));
        s_->changed.notify_all();
        return true;
    }

    enum class Sent { sent, full, closed };
    // Like send, but gives up (value dropped) when the channel stays full
    // for `wait`.
    template <typename Rep, typename Period>
    Sent send_for(T value, std::chrono::duration<Rep, Period> wait) {
        if (!s_) return Sent::closed;
        std::unique_lock lock(s_->mutex);
        bool room = s_->changed.wait_for(lock, wait, [&] {
            return s_->receiver_gone || s_->queue.size() < s_->capacity;
        });
        if (s_->receiver_gone) return Sent::closed;
        if (!room) return Sent::full;
        s_->queue.push_back(std::move(value));
        s_->changed.notify_all();
        return Sent::sent;
    }

    // True once the receiving end has gone (nothing sent will be read).
    bool receiver_closed() const {
        if (!s_) return true;
        std::lock_guard lock(s_->mutex);
        return s_->receiver_gone;
    }

    explicit operator bool() const { return s_ != nullptr; }

    void close() {
        if (!s_) return;
        {
            std::lock_guard lock(s_->mutex);
            s_->sender_gone = true;
        }
        s_->changed.notify_all();
        s_.reset();
    }

private:
    std::shared_ptr<ChannelState<T>> s_;
};

template <typename T>
class ChannelReceiver {
public:
    ChannelReceiver() = default;
    explicit ChannelReceiver(std::shared_ptr<ChannelState<T>> s) : s_(std::move(s)) {}
    ChannelReceiver(ChannelReceiver&&) noexcept = default;
    ChannelReceiver& operator=(ChannelReceiver&& o) noexcept {
        if (this != &o) {
            close();
            s_ = std::move(o.s_);
        }
        return *this;
    }
    ChannelReceiver(const ChannelReceiver&) = delete;
    ChannelReceiver& operator=(const ChannelReceiver&) = delete;
    ~ChannelReceiver() { close(); }

    // Waits for the next value; nothing once the sender has gone and the queue
    // is empty.
    std::optional<T> receive() {
        if (!s_) return std::nullopt;
        std::unique_lock lock(s_->mutex);
        s_->changed.wait(lock, [&] { return s_->sender_gone || !s_->queue.empty(); });
        if (s_->queue.empty()) return std::nullopt;
        T v = std::move(s_->queue.front());
        s_->queue.pop_front();
        s_->changed.notify_all();
        return v;
    }

    // The next value if one is queued, without waiting.
    std::optional<T> try_receive() {
        if (!s_) return std::nullopt;
        std::lock_guard lock(s_->mutex);
        if (s_->queue.empty()) return std::nullopt;
        T v = std::move(s_->queue.front());
        s_->queue.pop_front();
        s_->changed.notify_all();
        return v;
    }

    // Closes the receiving end: queued values are dropped, later sends refused.
    void close() {
        if (!s_) return;
        std::deque<T> dropped;
        {
            std::lock_guard lock(s_->mutex);
            s_->receiver_gone = true;
            dropped.swap(s_->queue);
        }
        s_->changed.notify_all();
        s_.reset();
    }

private:
    std::shared_ptr<ChannelState<T>> s_;
};

template <typename T>
std::pair<ChannelSender<T>, ChannelReceiver<T>> make_channel(std::size_t capacity) {
    auto s = std::make_shared<ChannelState<T>>();
    s->capacity = capacity ? capacity : 1;
    return {ChannelSender<T>(s), ChannelReceiver<T>(s)};
}

}  // namespace corvane
