// An array of T in the runtime's device memory or pinned host memory,
// released when it goes out of scope or is resized.
#pragma once

#include <cstddef>

#include "buffers/ErrorChecks.h"
#include "runtime/Runtime.h"

namespace powergpu::iec {

enum class MemorySide { Device, Host };

template <typename T>
class RuntimeArray {
public:
    RuntimeArray(Runtime& runtime, MemorySide side) : runtime_(runtime), side_(side) {}
    RuntimeArray(const RuntimeArray&) = delete;
    RuntimeArray& operator=(const RuntimeArray&) = delete;
    ~RuntimeArray() { release(); }

    // Reallocates when the count changes (the contents are then undefined);
    // a failed allocation leaves the array empty and throws GpuException.
    void resize(std::size_t count) {
        if (count == count_ && (count == 0 || data_ != nullptr)) {
            return;
        }
        release();
        if (count == 0) {
            return;
        }
        void* memory = nullptr;
        const std::size_t bytes = count * sizeof(T);
        const int code =
            side_ == MemorySide::Device ? runtime_.malloc(&memory, bytes) : runtime_.hostAlloc(&memory, bytes, 0);
        constexpr const char* kErrorLocation = "IecHarmonicAnalysis";
        CUDA_CALL(runtime_, code);
        data_ = static_cast<T*>(memory);
        count_ = count;
    }
    void release() {
        if (data_ != nullptr) {
            // Release failures cannot be acted on; the memory is gone either way.
            side_ == MemorySide::Device ? runtime_.free(data_) : runtime_.freeHost(data_);
        }
        data_ = nullptr;
        count_ = 0;
    }
    T* data() const { return data_; }
    std::size_t size() const { return count_; }

private:
    Runtime& runtime_;
    MemorySide side_;
    T* data_ = nullptr;
    std::size_t count_ = 0;
};

}  // namespace powergpu::iec
