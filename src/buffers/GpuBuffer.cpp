#include "buffers/GpuBuffer.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <string>
#include <new>
#include <stdexcept>

#include "buffers/ErrorChecks.h"

// Where error messages of this file say a failed call was checked.
static constexpr const char* kErrorLocation = "CudaBuffer";

namespace powergpu {

GpuBufferItems::GpuBufferItems(uint16_t maxItems)
    : maxItems_(maxItems), hostItemIndex_(maxItems, -1), deviceItemIndex_(maxItems, -1) {}

void GpuBufferItems::add(uint16_t first, uint16_t count, CopyType type) {
    if (static_cast<uint32_t>(first) + count > maxItems_) {
        throw std::out_of_range("buffer item number beyond the buffer's capacity");
    }
    for (uint16_t item = first; item < first + count; ++item) {
        if (type != DeviceOnly) {
            hostItemIndex_[item] = static_cast<int16_t>(hostItems_.size());
            hostItems_.push_back(item);
        } else {
            hostItemIndex_[item] = -1;
        }
        if (type == HostOnly) {
            deviceItemIndex_[item] = -1;
        } else {
            deviceItemIndex_[item] = static_cast<int16_t>(deviceItems_.size());
            deviceItems_.push_back(item);
        }
        if (type == HostToDevice || type == BothDirections) {
            host2DeviceItems_.push_back(item);
        }
        if (type == DeviceToHost || type == BothDirections) {
            device2HostItems_.push_back(item);
        }
    }
}

void GpuBufferItems::clear() {
    hostItems_.clear();
    deviceItems_.clear();
    host2DeviceItems_.clear();
    device2HostItems_.clear();
    std::fill(hostItemIndex_.begin(), hostItemIndex_.end(), -1);
    std::fill(deviceItemIndex_.begin(), deviceItemIndex_.end(), -1);
}

template <typename T>
GpuBuffer<T>::GpuBuffer(Runtime& runtime, uint16_t maxItems, bool pinnedHostMemory)
    : runtime_(runtime), pinnedHostMemory_(pinnedHostMemory), items_(maxItems) {}

template <typename T>
GpuBuffer<T>::~GpuBuffer() {
    try {
        freeBuffers();
    } catch (...) {
        // A failing release cannot leave a destructor; the rest is released regardless.
    }
}

template <typename T>
void GpuBuffer<T>::resize(uint64_t length) {
    // A length whose byte count would overflow (a negative length passed as
    // unsigned, say) is refused before anything changes.
    const uint64_t mostItems = std::max<uint64_t>({items_.getHostItemsCount(), items_.getDeviceItemsCount(), 1});
    if (length > std::numeric_limits<uint64_t>::max() / sizeof(T) / mostItems) {
        throw std::length_error("buffer of " + std::to_string(length) + " elements per item is too large");
    }
    length_ = length;
    initBuffers();
}

template <typename T>
T* GpuBuffer<T>::slot(T* array, int16_t index, uint64_t runLength) {
    if (array == nullptr || index < 0) {
        return nullptr;
    }
    return array + static_cast<uint64_t>(index) * runLength;
}

template <typename T>
T* GpuBuffer<T>::getHostBuffer(uint16_t item) const {
    return item == 0 ? hostBuffer_ : slot(hostBuffer_, items_.getHostItemIndex(item), length_);
}

template <typename T>
T* GpuBuffer<T>::getDeviceBuffer(uint16_t item) const {
    return item == 0 ? deviceBuffer_ : slot(deviceBuffer_, items_.getDeviceItemIndex(item), length_);
}

template <typename T>
T* GpuBuffer<T>::getHostBufferAt(uint64_t position, uint64_t runLength, uint16_t item) const {
    const int16_t index = item == 0 ? 0 : items_.getHostItemIndex(item);
    if (hostBuffer_ == nullptr || index < 0) {
        return nullptr;
    }
    return hostBuffer_ + items_.getHostItemsCount() * position + static_cast<uint64_t>(index) * runLength;
}

template <typename T>
T* GpuBuffer<T>::getDeviceBufferAt(uint64_t position, uint64_t runLength, uint16_t item) const {
    const int16_t index = item == 0 ? 0 : items_.getDeviceItemIndex(item);
    if (deviceBuffer_ == nullptr || index < 0) {
        return nullptr;
    }
    return deviceBuffer_ + items_.getDeviceItemsCount() * position + static_cast<uint64_t>(index) * runLength;
}

template <typename T>
void GpuBuffer<T>::initBuffers() {
    hostElementsCount_ = items_.getHostItemsCount() * length_;
    deviceElementsCount_ = items_.getDeviceItemsCount() * length_;
    hostBytes_ = hostElementsCount_ * sizeof(T);
    deviceBytes_ = deviceElementsCount_ * sizeof(T);

    if (hostBytes_ != allocatedHostBytes_) {
        // Forget the old array before releasing it, so that a failure here or
        // in the allocation below can never release it a second time.
        T* old = hostBuffer_;
        hostBuffer_ = nullptr;
        allocatedHostBytes_ = 0;
        if (old != nullptr) {
            if (pinnedHostMemory_) {
                CUDA_CALL(runtime_, runtime_.freeHost(old));
            } else {
                std::free(old);
            }
        }
        if (hostBytes_ > 0) {
            void* fresh = nullptr;
            if (pinnedHostMemory_) {
                CUDA_CALL(runtime_, runtime_.hostAlloc(&fresh, hostBytes_, 0));
            } else {
                fresh = std::malloc(hostBytes_);
                if (fresh == nullptr) {
                    throw std::bad_alloc();
                }
            }
            hostBuffer_ = static_cast<T*>(fresh);
        }
        allocatedHostBytes_ = hostBytes_;
    }

    if (deviceBytes_ != allocatedDeviceBytes_) {
        T* old = deviceBuffer_;
        deviceBuffer_ = nullptr;
        allocatedDeviceBytes_ = 0;
        if (old != nullptr) {
            CUDA_CALL(runtime_, runtime_.free(old));
        }
        if (deviceBytes_ > 0) {
            void* fresh = nullptr;
            CUDA_CALL(runtime_, runtime_.malloc(&fresh, deviceBytes_));
            deviceBuffer_ = static_cast<T*>(fresh);
        }
        allocatedDeviceBytes_ = deviceBytes_;
    }
}

template <typename T>
void GpuBuffer<T>::freeBuffers() {
    T* device = deviceBuffer_;
    T* host = hostBuffer_;
    deviceBuffer_ = nullptr;
    hostBuffer_ = nullptr;
    allocatedHostBytes_ = 0;
    allocatedDeviceBytes_ = 0;
    // The host array is released even when releasing the device array fails.
    const int deviceResult = device != nullptr ? runtime_.free(device) : kSuccess;
    if (host != nullptr) {
        if (pinnedHostMemory_) {
            CUDA_CALL(runtime_, runtime_.freeHost(host));
        } else {
            std::free(host);
        }
    }
    CUDA_CALL(runtime_, deviceResult);
}

template <typename T>
void GpuBuffer<T>::copyFromHostToDevice(uint64_t position, uint64_t count, StreamHandle stream) {
    copyBlock(position, count, stream, MemcpyKind::HostToDevice);
}

template <typename T>
void GpuBuffer<T>::copyFromDeviceToHost(uint64_t position, uint64_t count, StreamHandle stream) {
    copyBlock(position, count, stream, MemcpyKind::DeviceToHost);
}

template <typename T>
void GpuBuffer<T>::copyBlock(uint64_t position, uint64_t count, StreamHandle stream, MemcpyKind kind) {
    const bool toDevice = kind == MemcpyKind::HostToDevice;
    const uint64_t elements = count * (toDevice ? items_.host2DeviceItems() : items_.device2HostItems()).size();
    if (elements == 0) {
        return;
    }
    T* host = hostBuffer_ + items_.getHostItemsCount() * position;
    T* device = deviceBuffer_ + items_.getDeviceItemsCount() * position;
    CUDA_CALL(runtime_, runtime_.memcpyAsync(toDevice ? device : host, toDevice ? host : device, elements * sizeof(T),
                                             kind, stream));
}

template <typename T>
void GpuBuffer<T>::copySegmentFromHostToDevice(uint64_t start, uint64_t count, StreamHandle stream) {
    copySegment(start, count, stream, MemcpyKind::HostToDevice);
}

template <typename T>
void GpuBuffer<T>::copySegmentFromDeviceToHost(uint64_t start, uint64_t count, StreamHandle stream) {
    copySegment(start, count, stream, MemcpyKind::DeviceToHost);
}

template <typename T>
void GpuBuffer<T>::copySegment(uint64_t start, uint64_t count, StreamHandle stream, MemcpyKind kind) {
    const bool toDevice = kind == MemcpyKind::HostToDevice;
    if (!toDevice && kind != MemcpyKind::DeviceToHost) {
        return;
    }
    const std::vector<uint16_t>& list = toDevice ? items_.host2DeviceItems() : items_.device2HostItems();
    if (list.empty() || length_ == 0) {
        return;
    }
    uint64_t remaining = count;
    uint64_t position = start;
    while (remaining > 0) {
        const uint64_t offset = position % length_;
        uint64_t piece = count + offset > length_ ? length_ - offset : remaining;
        piece = piece < remaining ? piece : remaining;  // never more than one lap
        for (const uint16_t item : list) {
            T* host = hostBuffer_ + static_cast<uint64_t>(items_.getHostItemIndex(item)) * length_ + offset;
            T* device = deviceBuffer_ + static_cast<uint64_t>(items_.getDeviceItemIndex(item)) * length_ + offset;
            CUDA_CALL(runtime_, runtime_.memcpyAsync(toDevice ? device : host, toDevice ? host : device,
                                                     piece * sizeof(T), kind, stream));
        }
        remaining -= piece;
        position = offset + piece;
    }
}

template <typename T>
void GpuBuffer<T>::asyncMemsetToZeroOnDevice(uint64_t count, StreamHandle stream) {
    const uint64_t bytes = items_.getDeviceItemsCount() * count * sizeof(T);
    if (bytes == 0) {
        return;
    }
    CUDA_CALL(runtime_, runtime_.memsetAsync(deviceBuffer_, 0, bytes, stream));
}

template <typename T>
void GpuBuffer<T>::asyncMemsetToZeroOnDevice(uint64_t position, uint64_t count, StreamHandle stream) {
    const uint64_t bytes = count * items_.getDeviceItemsCount() * sizeof(T);
    if (bytes == 0) {
        return;
    }
    CUDA_CALL(runtime_, runtime_.memsetAsync(getDeviceBufferAt(position, count, 0), 0, bytes, stream));
}

template class GpuBuffer<float>;
template class GpuBuffer<float2>;
template class GpuBuffer<double>;
template class GpuBuffer<ComplexDouble>;
template class GpuBuffer<PowerResultsGeneral>;
template class GpuBuffer<PowerResultsThd>;
template class GpuBuffer<PowerResultsPeriod>;
template class GpuBuffer<RvcResult>;

}  // namespace powergpu
