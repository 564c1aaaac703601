// Owning wrappers of runtime handles: each releases its handle when it goes
// out of scope, ignoring the result as a destructor must.
#pragma once

#include <array>
#include <vector>

#include "runtime/Runtime.h"

namespace powergpu {

class OwnedEvent {
public:
    explicit OwnedEvent(Runtime& runtime) : runtime_(&runtime) {}
    OwnedEvent(const OwnedEvent&) = delete;
    OwnedEvent& operator=(const OwnedEvent&) = delete;
    ~OwnedEvent() {
        if (event_ != nullptr) {
            runtime_->eventDestroy(event_);
        }
    }
    EventHandle* out() { return &event_; }
    EventHandle get() const { return event_; }

private:
    Runtime* runtime_;
    EventHandle event_ = nullptr;
};

// The module's three streams; those created before a failure are destroyed.
class StreamSet {
public:
    explicit StreamSet(Runtime& runtime) : runtime_(&runtime) {}
    StreamSet(const StreamSet&) = delete;
    StreamSet& operator=(const StreamSet&) = delete;
    ~StreamSet() {
        for (StreamHandle stream : streams_) {
            if (stream != nullptr) {
                runtime_->streamDestroy(stream);
            }
        }
    }
    StreamHandle* out(std::size_t index) { return &streams_[index]; }
    StreamHandle operator[](std::size_t index) const { return streams_[index]; }
    static constexpr std::size_t size() { return 3; }

private:
    Runtime* runtime_;
    std::array<StreamHandle, 3> streams_{};
};

}  // namespace powergpu
