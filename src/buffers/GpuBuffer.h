// Paired host/device arrays of numbered items (channels).
//
// A GpuBuffer holds up to maxItems items of `length` elements each, on the
// host, on the device or on both. GpuBufferItems keeps the bookkeeping:
// which items are registered, in which slot of each side's array they sit,
// and which items are copied in which direction. Items are registered
// first; resize() then allocates, and reallocates only when a side's byte
// size changes (contents are neither kept nor cleared on a change).
#pragma once

#include <cstdint>
#include <vector>

#include "runtime/Runtime.h"

namespace powergpu {

class GpuBufferItems {
public:
    enum CopyType : int {
        HostOnly = 0,
        DeviceOnly = 1,
        HostToDevice = 2,
        DeviceToHost = 3,
        BothDirections = 4,
    };

    explicit GpuBufferItems(uint16_t maxItems);

    // Registers items first .. first + count - 1 in increasing order.
    // Registering an item twice gives it a second slot; the index maps then
    // point at the later one.
    void add(uint16_t first, uint16_t count, CopyType type);
    // Empties the item lists and resets both index maps to -1.
    void clear();

    int16_t getHostItemIndex(uint16_t item) const { return hostItemIndex_.at(item); }
    int16_t getDeviceItemIndex(uint16_t item) const { return deviceItemIndex_.at(item); }
    uint64_t getHostItemsCount() const { return hostItems_.size(); }
    uint64_t getDeviceItemsCount() const { return deviceItems_.size(); }
    std::vector<uint16_t> getHostItemsList() const { return hostItems_; }
    std::vector<uint16_t> getDeviceItemsList() const { return deviceItems_; }
    std::vector<uint16_t> getHost2DeviceItems() const { return host2DeviceItems_; }
    std::vector<uint16_t> getDevice2HostItems() const { return device2HostItems_; }
    const std::vector<uint16_t>& host2DeviceItems() const { return host2DeviceItems_; }
    const std::vector<uint16_t>& device2HostItems() const { return device2HostItems_; }
    uint16_t getMaxItems() const { return maxItems_; }

private:
    uint16_t maxItems_;
    std::vector<int16_t> hostItemIndex_;
    std::vector<int16_t> deviceItemIndex_;
    std::vector<uint16_t> hostItems_;
    std::vector<uint16_t> deviceItems_;
    std::vector<uint16_t> host2DeviceItems_;
    std::vector<uint16_t> device2HostItems_;
};

template <typename T>
class GpuBuffer {
public:
    GpuBuffer(Runtime& runtime, uint16_t maxItems, bool pinnedHostMemory);
    GpuBuffer(const GpuBuffer&) = delete;
    GpuBuffer& operator=(const GpuBuffer&) = delete;
    ~GpuBuffer();

    void addItems(uint16_t first, uint16_t count, GpuBufferItems::CopyType type) { items_.add(first, count, type); }
    void clearItems() { items_.clear(); }
    // Stores the length and (re)allocates each side whose byte size changed.
    void resize(uint64_t length);

    uint64_t getLength() const { return length_; }
    uint64_t getHostItemsCount() const { return items_.getHostItemsCount(); }
    uint64_t getDeviceItemsCount() const { return items_.getDeviceItemsCount(); }
    std::vector<uint16_t> getHostItemsList() const { return items_.getHostItemsList(); }
    std::vector<uint16_t> getDeviceItemsList() const { return items_.getDeviceItemsList(); }
    const GpuBufferItems& items() const { return items_; }
    uint64_t getAllocatedHostBytes() const { return allocatedHostBytes_; }
    uint64_t getAllocatedDeviceBytes() const { return allocatedDeviceBytes_; }

    // Start of an item's slot; item 0 always yields the array start, any
    // other unregistered item null.
    T* getHostBuffer(uint16_t item = 0) const;
    T* getDeviceBuffer(uint16_t item = 0) const;
    // Block addressing of result slots: array + itemsCount * position + slot * runLength.
    T* getHostBufferAt(uint64_t position, uint64_t runLength, uint16_t item) const;
    T* getDeviceBufferAt(uint64_t position, uint64_t runLength, uint16_t item) const;

    // One contiguous copy of count elements per listed item at a block position.
    void copyFromHostToDevice(uint64_t position, uint64_t count, StreamHandle stream);
    void copyFromDeviceToHost(uint64_t position, uint64_t count, StreamHandle stream);
    // Ring segment copies: at most two copies per listed item.
    void copySegmentFromHostToDevice(uint64_t start, uint64_t count, StreamHandle stream);
    void copySegmentFromDeviceToHost(uint64_t start, uint64_t count, StreamHandle stream);
    // Zeroes deviceItemsCount * count elements from the array start.
    void asyncMemsetToZeroOnDevice(uint64_t count, StreamHandle stream);
    // Zeroes count * deviceItemsCount elements from block position `position`.
    void asyncMemsetToZeroOnDevice(uint64_t position, uint64_t count, StreamHandle stream);

private:
    void initBuffers();
    void freeBuffers();
    void copyBlock(uint64_t position, uint64_t count, StreamHandle stream, MemcpyKind kind);
    void copySegment(uint64_t start, uint64_t count, StreamHandle stream, MemcpyKind kind);
    static T* slot(T* array, int16_t index, uint64_t runLength);

    Runtime& runtime_;
    T* hostBuffer_ = nullptr;
    T* deviceBuffer_ = nullptr;
    bool pinnedHostMemory_;
    GpuBufferItems items_;
    uint64_t length_ = 0;
    uint64_t hostElementsCount_ = 0;
    uint64_t deviceElementsCount_ = 0;
    uint64_t hostBytes_ = 0;
    uint64_t deviceBytes_ = 0;
    uint64_t allocatedHostBytes_ = 0;
    uint64_t allocatedDeviceBytes_ = 0;
};

}  // namespace powergpu
