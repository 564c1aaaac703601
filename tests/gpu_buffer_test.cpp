// Paired host/device buffers: item registration, addressing, allocation and
// release, block and ring-segment copies, and the state left by a failed
// allocation. Everything runs on a CpuRuntime so that every runtime call can
// be logged or made to fail.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "cuda/CudaBuffer.h"
#include "powergpu.hpp"
#include "runtime/CpuRuntime.h"

namespace {

using powergpu::CpuRuntime;
using powergpu::GpuBuffer;
using powergpu::GpuBufferItems;
using powergpu::LoggedCall;
using powergpu::MemcpyKind;
using powergpu::RuntimeCall;

constexpr float kUntouched = -12345.0f;

std::vector<LoggedCall> callsOf(const CpuRuntime& runtime, RuntimeCall kind) {
    std::vector<LoggedCall> calls;
    for (const LoggedCall& call : runtime.callLog()) {
        if (call.call == kind) {
            calls.push_back(call);
        }
    }
    return calls;
}

class GpuBufferTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(runtime.streamCreateWithFlags(&stream, powergpu::kStreamNonBlocking), 0);
    }
    void TearDown() override { runtime.streamDestroy(stream); }

    CpuRuntime runtime;
    powergpu::StreamHandle stream = nullptr;
};

}  // namespace

// ---- item registration ---------------------------------------------------------------

TEST(GpuBufferItemsTest, EachCopyTypeGetsItsSidesAndDirections) {
    GpuBufferItems items(10);
    items.add(0, 2, GpuBufferItems::DeviceOnly);
    items.add(2, 1, GpuBufferItems::HostOnly);
    items.add(3, 1, GpuBufferItems::HostToDevice);
    items.add(4, 1, GpuBufferItems::DeviceToHost);
    items.add(5, 1, GpuBufferItems::BothDirections);

    EXPECT_EQ(items.getHostItemsList(), (std::vector<uint16_t>{2, 3, 4, 5}));
    EXPECT_EQ(items.getDeviceItemsList(), (std::vector<uint16_t>{0, 1, 3, 4, 5}));
    EXPECT_EQ(items.getHost2DeviceItems(), (std::vector<uint16_t>{3, 5}));
    EXPECT_EQ(items.getDevice2HostItems(), (std::vector<uint16_t>{4, 5}));
    const std::vector<int16_t> host = {-1, -1, 0, 1, 2, 3, -1, -1, -1, -1};
    const std::vector<int16_t> device = {0, 1, -1, 2, 3, 4, -1, -1, -1, -1};
    for (uint16_t item = 0; item < 10; ++item) {
        EXPECT_EQ(items.getHostItemIndex(item), host[item]) << "item " << item;
        EXPECT_EQ(items.getDeviceItemIndex(item), device[item]) << "item " << item;
    }
    EXPECT_EQ(items.getHostItemsCount(), 4u);
    EXPECT_EQ(items.getDeviceItemsCount(), 5u);
}

TEST(GpuBufferItemsTest, RegisteringAnItemTwiceTakesTwoSlots) {
    GpuBufferItems items(3);
    items.add(0, 3, GpuBufferItems::HostOnly);
    items.add(2, 1, GpuBufferItems::HostOnly);
    EXPECT_EQ(items.getHostItemsList(), (std::vector<uint16_t>{0, 1, 2, 2}));
    EXPECT_EQ(items.getHostItemsCount(), 4u);
    EXPECT_EQ(items.getHostItemIndex(2), 3);  // the later slot
    EXPECT_EQ(items.getDeviceItemsCount(), 0u);
    items.add(1, 0, GpuBufferItems::HostOnly);  // count 0 registers nothing
    EXPECT_EQ(items.getHostItemsCount(), 4u);
}

TEST(GpuBufferItemsTest, ClearEmptiesTheListsAndResetsBothIndexMaps) {
    GpuBufferItems items(4);
    items.add(0, 4, GpuBufferItems::BothDirections);
    items.clear();
    EXPECT_TRUE(items.getHostItemsList().empty());
    EXPECT_TRUE(items.getDeviceItemsList().empty());
    EXPECT_TRUE(items.getHost2DeviceItems().empty());
    EXPECT_TRUE(items.getDevice2HostItems().empty());
    for (uint16_t item = 0; item < 4; ++item) {
        EXPECT_EQ(items.getHostItemIndex(item), -1);
        EXPECT_EQ(items.getDeviceItemIndex(item), -1);
    }
    items.add(3, 1, GpuBufferItems::DeviceToHost);
    EXPECT_EQ(items.getHostItemIndex(3), 0);
    EXPECT_EQ(items.getHostItemIndex(0), -1);
}

TEST(GpuBufferItemsTest, ItemsBeyondTheCapacityAreRefused) {
    GpuBufferItems items(3);
    EXPECT_THROW(items.add(2, 2, GpuBufferItems::HostOnly), std::out_of_range);
    EXPECT_EQ(items.getHostItemsCount(), 0u);
}

// ---- addressing ----------------------------------------------------------------------

TEST_F(GpuBufferTest, ItemZeroIsTheArrayStartEvenWhenNotRegistered) {
    GpuBuffer<float> buffer(runtime, 5, true);
    buffer.addItems(1, 1, GpuBufferItems::HostToDevice);
    buffer.addItems(2, 1, GpuBufferItems::DeviceOnly);
    buffer.resize(8);
    float* host = buffer.getHostBuffer();
    float* device = buffer.getDeviceBuffer();
    ASSERT_NE(host, nullptr);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(buffer.getHostBuffer(0), host);
    EXPECT_EQ(buffer.getHostBuffer(1), host);  // slot 0 on the host
    EXPECT_EQ(buffer.getDeviceBuffer(1), device);
    EXPECT_EQ(buffer.getDeviceBuffer(2), device + 8);
    EXPECT_EQ(buffer.getHostBuffer(2), nullptr);  // device only
    EXPECT_EQ(buffer.getHostBuffer(3), nullptr);  // never registered
    EXPECT_EQ(buffer.getDeviceBuffer(4), nullptr);
}

TEST_F(GpuBufferTest, BlockAddressingPlacesTheRunsOfAllItemsPerPosition) {
    GpuBuffer<double> buffer(runtime, 4, true);
    buffer.addItems(0, 3, GpuBufferItems::DeviceToHost);
    buffer.addItems(3, 1, GpuBufferItems::DeviceOnly);
    buffer.resize(40);
    double* host = buffer.getHostBuffer();
    double* device = buffer.getDeviceBuffer();
    // Position 5 with runs of 4: host array + 3 items * 5 + slot * 4.
    EXPECT_EQ(buffer.getHostBufferAt(5, 4, 0), host + 15);
    EXPECT_EQ(buffer.getHostBufferAt(5, 4, 2), host + 15 + 8);
    EXPECT_EQ(buffer.getDeviceBufferAt(5, 4, 2), device + 20 + 8);
    EXPECT_EQ(buffer.getDeviceBufferAt(5, 4, 3), device + 20 + 12);
    EXPECT_EQ(buffer.getHostBufferAt(5, 4, 3), nullptr);
    // Result slot r of single-element runs is simply position r.
    EXPECT_EQ(buffer.getDeviceBufferAt(7, 1, 1), device + 4 * 7 + 1);
}

// ---- allocation and release ----------------------------------------------------------

TEST_F(GpuBufferTest, ResizeToTheSameByteSizeKeepsArraysAndContents) {
    GpuBuffer<float> buffer(runtime, 4, true);
    buffer.addItems(0, 2, GpuBufferItems::BothDirections);
    buffer.resize(10);
    float* host = buffer.getHostBuffer();
    float* device = buffer.getDeviceBuffer();
    for (int k = 0; k < 20; ++k) {
        host[k] = static_cast<float>(k);
        device[k] = static_cast<float>(100 + k);
    }
    runtime.setCallLogging(true);
    // Re-registered differently, yet 4 items of 5 floats is the same 80 bytes.
    buffer.clearItems();
    buffer.addItems(0, 4, GpuBufferItems::BothDirections);
    buffer.resize(5);
    EXPECT_EQ(buffer.getHostBuffer(), host);
    EXPECT_EQ(buffer.getDeviceBuffer(), device);
    EXPECT_EQ(buffer.getLength(), 5u);
    for (int k = 0; k < 20; ++k) {
        EXPECT_EQ(host[k], static_cast<float>(k));
        EXPECT_EQ(device[k], static_cast<float>(100 + k));
    }
    for (const LoggedCall& call : runtime.callLog()) {
        EXPECT_TRUE(call.call != RuntimeCall::Malloc && call.call != RuntimeCall::HostAlloc &&
                    call.call != RuntimeCall::Free && call.call != RuntimeCall::FreeHost);
    }
}

TEST_F(GpuBufferTest, ResizeChangesOnlyTheSideWhoseSizeChanged) {
    GpuBuffer<float> buffer(runtime, 4, true);
    buffer.addItems(0, 2, GpuBufferItems::HostToDevice);
    buffer.resize(10);
    float* device = buffer.getDeviceBuffer();
    runtime.setCallLogging(true);
    buffer.addItems(2, 1, GpuBufferItems::HostOnly);  // the host side grows, the device side does not
    buffer.resize(10);
    EXPECT_EQ(buffer.getDeviceBuffer(), device);
    EXPECT_EQ(buffer.getAllocatedHostBytes(), 3u * 10 * sizeof(float));
    EXPECT_EQ(callsOf(runtime, RuntimeCall::Malloc).size(), 0u);
    ASSERT_EQ(callsOf(runtime, RuntimeCall::HostAlloc).size(), 1u);
    EXPECT_EQ(callsOf(runtime, RuntimeCall::HostAlloc)[0].bytes, 120u);
    EXPECT_EQ(runtime.liveHostBytes(), 120u);
    EXPECT_EQ(runtime.liveDeviceBytes(), 80u);
}

TEST_F(GpuBufferTest, ResizeToZeroReleasesBothArrays) {
    GpuBuffer<float> buffer(runtime, 2, true);
    buffer.addItems(0, 2, GpuBufferItems::BothDirections);
    buffer.resize(16);
    EXPECT_EQ(runtime.liveHostBytes(), 128u);
    EXPECT_EQ(runtime.liveDeviceBytes(), 128u);
    buffer.resize(0);
    EXPECT_EQ(buffer.getHostBuffer(), nullptr);
    EXPECT_EQ(buffer.getDeviceBuffer(), nullptr);
    EXPECT_EQ(buffer.getAllocatedHostBytes(), 0u);
    EXPECT_EQ(buffer.getAllocatedDeviceBytes(), 0u);
    EXPECT_EQ(runtime.liveHostBytes(), 0u);
    EXPECT_EQ(runtime.liveDeviceBytes(), 0u);
}

TEST_F(GpuBufferTest, ASideWithoutItemsHoldsNoMemory) {
    {
        GpuBuffer<float> deviceOnly(runtime, 3, true);
        deviceOnly.addItems(0, 3, GpuBufferItems::DeviceOnly);
        deviceOnly.resize(100);
        EXPECT_EQ(deviceOnly.getHostBuffer(), nullptr);
        EXPECT_EQ(deviceOnly.getAllocatedHostBytes(), 0u);
        EXPECT_EQ(runtime.liveHostBytes(), 0u);
        EXPECT_EQ(runtime.liveDeviceBytes(), 1200u);

        GpuBuffer<double> hostOnly(runtime, 3, false);  // malloc, not the runtime
        hostOnly.addItems(0, 3, GpuBufferItems::HostOnly);
        hostOnly.resize(100);
        EXPECT_NE(hostOnly.getHostBuffer(), nullptr);
        EXPECT_EQ(hostOnly.getDeviceBuffer(), nullptr);
        EXPECT_EQ(hostOnly.getAllocatedDeviceBytes(), 0u);
        EXPECT_EQ(runtime.liveDeviceBytes(), 1200u);
        EXPECT_EQ(runtime.liveHostBytes(), 0u);
    }
    // The destructors gave everything back.
    EXPECT_EQ(runtime.liveDeviceBytes(), 0u);
}

TEST_F(GpuBufferTest, FailedHostAllocationLeavesThatSideEmptyAndRecovers) {
    GpuBuffer<float> buffer(runtime, 2, true);
    buffer.addItems(0, 2, GpuBufferItems::BothDirections);
    buffer.resize(10);
    float* device = buffer.getDeviceBuffer();

    runtime.injectFault(RuntimeCall::HostAlloc, powergpu::kErrorMemoryAllocation);
    try {
        buffer.resize(20);
        FAIL() << "the allocation fault did not surface";
    } catch (const GpuException& error) {
        EXPECT_NE(std::string(error.what()).find("CUDA error in file 'CudaBuffer', line "), std::string::npos);
        EXPECT_NE(std::string(error.what()).find("; error 2: out of memory"), std::string::npos);
    }
    EXPECT_EQ(buffer.getHostBuffer(), nullptr);
    EXPECT_EQ(buffer.getAllocatedHostBytes(), 0u);
    EXPECT_EQ(runtime.liveHostBytes(), 0u);  // the old array went, exactly once
    EXPECT_EQ(buffer.getDeviceBuffer(), device);  // the failing step came first
    EXPECT_EQ(buffer.getAllocatedDeviceBytes(), 80u);

    buffer.resize(20);
    EXPECT_NE(buffer.getHostBuffer(), nullptr);
    EXPECT_EQ(buffer.getAllocatedHostBytes(), 160u);
    EXPECT_EQ(buffer.getAllocatedDeviceBytes(), 160u);
    EXPECT_EQ(runtime.liveHostBytes(), 160u);
    EXPECT_EQ(runtime.liveDeviceBytes(), 160u);
}

TEST_F(GpuBufferTest, FailedDeviceAllocationLeavesThatSideEmptyAndRecovers) {
    GpuBuffer<float> buffer(runtime, 2, true);
    buffer.addItems(0, 2, GpuBufferItems::BothDirections);
    buffer.resize(10);
    runtime.injectFault(RuntimeCall::Malloc, powergpu::kErrorMemoryAllocation);
    EXPECT_THROW(buffer.resize(30), GpuException);
    EXPECT_EQ(buffer.getDeviceBuffer(), nullptr);
    EXPECT_EQ(buffer.getAllocatedDeviceBytes(), 0u);
    EXPECT_EQ(runtime.liveDeviceBytes(), 0u);
    EXPECT_EQ(buffer.getAllocatedHostBytes(), 240u);  // the host step had taken effect
    EXPECT_EQ(runtime.liveHostBytes(), 240u);

    buffer.resize(30);
    EXPECT_NE(buffer.getDeviceBuffer(), nullptr);
    EXPECT_EQ(runtime.liveDeviceBytes(), 240u);
}

TEST_F(GpuBufferTest, FailedReleaseIsNeverRepeated) {
    runtime.setCallLogging(true);
    {
        GpuBuffer<float> buffer(runtime, 1, true);
        buffer.addItems(0, 1, GpuBufferItems::BothDirections);
        buffer.resize(10);
        runtime.injectFault(RuntimeCall::FreeHost, powergpu::kErrorUnknown);
        EXPECT_THROW(buffer.resize(20), GpuException);
        EXPECT_EQ(buffer.getHostBuffer(), nullptr);
        EXPECT_EQ(buffer.getAllocatedHostBytes(), 0u);
        buffer.resize(20);
        EXPECT_NE(buffer.getHostBuffer(), nullptr);
    }
    // Every release named a different array and none was refused as unknown.
    std::vector<const void*> released;
    for (const RuntimeCall kind : {RuntimeCall::FreeHost, RuntimeCall::Free}) {
        for (const LoggedCall& call : callsOf(runtime, kind)) {
            EXPECT_NE(call.result, powergpu::kErrorInvalidValue);
            released.push_back(call.pointers.at(0));
        }
    }
    std::sort(released.begin(), released.end());
    EXPECT_EQ(std::adjacent_find(released.begin(), released.end()), released.end());
    EXPECT_EQ(runtime.liveDeviceBytes(), 0u);
}

TEST_F(GpuBufferTest, FailedReleaseInTheDestructorIsSwallowedAndNotRepeated) {
    runtime.setCallLogging(true);
    {
        GpuBuffer<float> buffer(runtime, 1, true);
        buffer.addItems(0, 1, GpuBufferItems::BothDirections);
        buffer.resize(10);
        runtime.injectFault(RuntimeCall::Free, powergpu::kErrorUnknown);
    }  // a throwing destructor would end the test program here
    EXPECT_EQ(callsOf(runtime, RuntimeCall::Free).size(), 1u);
}

TEST_F(GpuBufferTest, ImpossibleLengthIsRejectedWithoutAllocatingOrChangingTheBuffer) {
    GpuBuffer<float> buffer(runtime, 3, true);
    buffer.addItems(0, 3, GpuBufferItems::HostToDevice);
    buffer.resize(100);
    float* host = buffer.getHostBuffer();
    float* second = buffer.getHostBuffer(1);
    runtime.setCallLogging(true);

    EXPECT_THROW(buffer.resize(std::numeric_limits<uint64_t>::max() / 8), std::length_error);
    EXPECT_TRUE(callsOf(runtime, RuntimeCall::HostAlloc).empty());
    EXPECT_TRUE(callsOf(runtime, RuntimeCall::Malloc).empty());
    EXPECT_EQ(buffer.getHostBuffer(), host);
    EXPECT_EQ(buffer.getAllocatedHostBytes(), 1200u);
    // The rejected length must not become the slot size of the old arrays:
    // item pointers and ring copies would then address far outside them.
    EXPECT_EQ(buffer.getLength(), 100u);
    EXPECT_EQ(buffer.getHostBuffer(1), second);
}

// ---- copies --------------------------------------------------------------------------

TEST_F(GpuBufferTest, RingSegmentOverTheEndIsCopiedAsTwoPiecesPerListedItem) {
    // Host slots: item 0 -> 0, item 2 -> 1. Device slots: 0 -> 0, 1 -> 1, 2 -> 2.
    GpuBuffer<float> buffer(runtime, 3, true);
    buffer.addItems(0, 1, GpuBufferItems::HostToDevice);
    buffer.addItems(1, 1, GpuBufferItems::DeviceOnly);
    buffer.addItems(2, 1, GpuBufferItems::HostToDevice);
    buffer.resize(100);
    for (const uint16_t item : {0, 2}) {
        for (int k = 0; k < 100; ++k) {
            buffer.getHostBuffer(item)[k] = static_cast<float>(1000 * item + k);
        }
    }
    std::fill(buffer.getDeviceBuffer(), buffer.getDeviceBuffer() + 300, kUntouched);
    runtime.setCallLogging(true);

    buffer.copySegmentFromHostToDevice(195, 10, stream);  // only 195 mod 100 matters

    const std::vector<LoggedCall> copies = callsOf(runtime, RuntimeCall::MemcpyAsync);
    ASSERT_EQ(copies.size(), 4u);
    struct Expected {
        uint16_t item;
        int hostSlot;
        int deviceSlot;
        int offset;
    };
    const Expected expected[] = {{0, 0, 0, 95}, {2, 1, 2, 95}, {0, 0, 0, 0}, {2, 1, 2, 0}};
    for (int k = 0; k < 4; ++k) {
        SCOPED_TRACE(testing::Message() << "copy " << k);
        const Expected& e = expected[k];
        EXPECT_EQ(copies[k].kind, MemcpyKind::HostToDevice);
        EXPECT_EQ(copies[k].stream, stream);
        EXPECT_EQ(copies[k].bytes, 5 * sizeof(float));
        EXPECT_EQ(copies[k].pointers.at(0), buffer.getDeviceBuffer() + e.deviceSlot * 100 + e.offset);
        EXPECT_EQ(copies[k].pointers.at(1), buffer.getHostBuffer() + e.hostSlot * 100 + e.offset);
    }
    // The data: positions 95..99 and 0..4 of items 0 and 2, nothing else.
    for (const uint16_t item : {0, 1, 2}) {
        const float* ring = buffer.getDeviceBuffer(item);
        for (int k = 0; k < 100; ++k) {
            const bool copied = item != 1 && (k >= 95 || k < 5);
            EXPECT_EQ(ring[k], copied ? static_cast<float>(1000 * item + k) : kUntouched)
                << "item " << item << " position " << k;
        }
    }
}

TEST_F(GpuBufferTest, RingSegmentInsideTheRingIsOneCopyPerItemBackToTheHost) {
    GpuBuffer<float> buffer(runtime, 2, true);
    buffer.addItems(0, 2, GpuBufferItems::DeviceToHost);
    buffer.resize(50);
    for (int k = 0; k < 100; ++k) {
        buffer.getDeviceBuffer()[k] = static_cast<float>(k);
        buffer.getHostBuffer()[k] = kUntouched;
    }
    runtime.setCallLogging(true);
    buffer.copySegmentFromDeviceToHost(60, 40, stream);  // positions 10..49
    const std::vector<LoggedCall> copies = callsOf(runtime, RuntimeCall::MemcpyAsync);
    ASSERT_EQ(copies.size(), 2u);
    for (const LoggedCall& copy : copies) {
        EXPECT_EQ(copy.kind, MemcpyKind::DeviceToHost);
        EXPECT_EQ(copy.bytes, 40 * sizeof(float));
    }
    for (int k = 0; k < 100; ++k) {
        const bool copied = k % 50 >= 10;
        EXPECT_EQ(buffer.getHostBuffer()[k], copied ? static_cast<float>(k) : kUntouched) << k;
    }
}

TEST_F(GpuBufferTest, CopiesWithAnEmptyItemListIssueNothing) {
    GpuBuffer<float> buffer(runtime, 2, true);
    buffer.addItems(0, 1, GpuBufferItems::DeviceToHost);
    buffer.addItems(1, 1, GpuBufferItems::DeviceOnly);
    buffer.resize(100);
    runtime.setCallLogging(true);
    buffer.copySegmentFromHostToDevice(95, 10, stream);
    buffer.copyFromHostToDevice(0, 10, stream);
    EXPECT_TRUE(callsOf(runtime, RuntimeCall::MemcpyAsync).empty());
}

TEST_F(GpuBufferTest, BlockCopiesAreOneContiguousTransferAtThePosition) {
    // Device items 0, 1, 2; items 0 and 1 travel back; host items 0, 1.
    GpuBuffer<double> buffer(runtime, 3, true);
    buffer.addItems(0, 2, GpuBufferItems::DeviceToHost);
    buffer.addItems(2, 1, GpuBufferItems::DeviceOnly);
    buffer.resize(6);
    runtime.setCallLogging(true);
    buffer.copyFromDeviceToHost(2, 1, stream);
    buffer.asyncMemsetToZeroOnDevice(2, 1, stream);
    const std::vector<LoggedCall> copies = callsOf(runtime, RuntimeCall::MemcpyAsync);
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(copies[0].pointers.at(0), buffer.getHostBuffer() + 2 * 2);
    EXPECT_EQ(copies[0].pointers.at(1), buffer.getDeviceBuffer() + 3 * 2);
    EXPECT_EQ(copies[0].bytes, 2 * sizeof(double));
    const std::vector<LoggedCall> memsets = callsOf(runtime, RuntimeCall::MemsetAsync);
    ASSERT_EQ(memsets.size(), 1u);
    EXPECT_EQ(memsets[0].pointers.at(0), buffer.getDeviceBuffer() + 3 * 2);
    EXPECT_EQ(memsets[0].bytes, 3 * sizeof(double));
    EXPECT_EQ(memsets[0].stream, stream);
}

TEST_F(GpuBufferTest, FailedCopyThrowsWithTheBufferSourceName) {
    GpuBuffer<float> buffer(runtime, 1, true);
    buffer.addItems(0, 1, GpuBufferItems::HostToDevice);
    buffer.resize(10);
    runtime.injectFault(RuntimeCall::MemcpyAsync, powergpu::kErrorLaunchFailure);
    try {
        buffer.copySegmentFromHostToDevice(0, 5, stream);
        FAIL() << "the copy fault did not surface";
    } catch (const GpuException& error) {
        EXPECT_EQ(std::string(error.what()).rfind("CUDA error in file 'CudaBuffer', line ", 0), 0u);
        EXPECT_NE(std::string(error.what()).find("; error 719: unspecified launch failure"), std::string::npos);
    }
}
