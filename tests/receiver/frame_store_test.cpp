// The decoded frame store with a clock the test controls and a counted stand-in texture.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "library/receiver/decoded_frame_store.h"

namespace {

struct FakeTexture {
    int id;
};
using TextureRef = std::shared_ptr<FakeTexture>;
using Store = DecodedFrameStore<TextureRef>;
using Picture = Store::Picture;

std::atomic<std::int64_t> fakeNowNs{1'000'000'000};
std::int64_t FakeClock() noexcept {
    return fakeNowNs.load();
}
void AdvanceMs(std::int64_t ms) {
    fakeNowNs += ms * 1'000'000;
}

constexpr std::uint32_t kScratch = 4096 * 2304 * 3 / 2;

// An NV12 picture whose bytes encode `seed`, so a copy can be told from another.
Picture MakePicture(std::uint32_t width, std::uint32_t height, std::uint8_t seed) {
    Picture picture;
    picture.width = width;
    picture.height = height;
    picture.bytes.resize(static_cast<std::size_t>(width) * height * 3 / 2);
    for (std::size_t i = 0; i < picture.bytes.size(); ++i) {
        picture.bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
    }
    return picture;
}

void Publish(Store& store, Picture picture, std::uint32_t age) {
    std::lock_guard<std::mutex> lock(store.mutex);
    store.PublishPicture(picture, age);
}

struct CpuTake {
    bool taken = false;
    std::uint32_t ageMs = 12345;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool direct = false;
    std::vector<std::uint8_t> destination;
    std::vector<std::uint8_t> scratch;
};

CpuTake TakeCpu(Store& store, std::uint64_t& lastSequence, std::uint32_t requestedWidth,
                std::uint32_t requestedHeight, std::uint32_t scratchCapacity = kScratch) {
    CpuTake take;
    take.destination.assign(static_cast<std::size_t>(requestedWidth) * requestedHeight * 3 / 2, 0xEE);
    take.scratch.assign(scratchCapacity, 0xEE);
    take.taken = store.TakeCpuFrame(take.destination.data(), static_cast<std::uint32_t>(take.destination.size()),
                                    take.scratch.data(), scratchCapacity, requestedWidth, requestedHeight,
                                    lastSequence, take.ageMs, take.width, take.height, take.direct);
    return take;
}

double MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

TEST(FrameStore, EmptyStoreWaitsAboutEighteenMillisecondsAndDeliversNothing) {
    Store store;  // real clock and the real 18 ms wait
    std::uint64_t lastSequence = 0;
    const auto start = std::chrono::steady_clock::now();
    const CpuTake take = TakeCpu(store, lastSequence, 640, 360);
    const double waited = MsSince(start);
    EXPECT_FALSE(take.taken);
    EXPECT_EQ(take.ageMs, kNoAge);
    EXPECT_GE(waited, 15.0);
    EXPECT_LT(waited, 1000.0);
    EXPECT_EQ(store.CurrentAgeMs(), kNoAge);

    Store::GpuFrame frame;
    std::uint32_t ageMs = 0;
    EXPECT_FALSE(store.TakeGpuFrame(lastSequence, ageMs, frame));
    EXPECT_FALSE(frame.texture);
    EXPECT_EQ(lastSequence, 0u);
}

TEST(FrameStore, AgeIsPublishedAgePlusTimeSincePublicationAndRefusedAbove200) {
    Store store(&FakeClock, std::chrono::milliseconds(1));
    Publish(store, MakePicture(640, 360, 1), 40);
    AdvanceMs(150);
    std::uint64_t lastSequence = 0;
    CpuTake take = TakeCpu(store, lastSequence, 640, 360);
    EXPECT_TRUE(take.taken);
    EXPECT_EQ(take.ageMs, 190u);

    AdvanceMs(10);
    take = TakeCpu(store, lastSequence, 640, 360);
    EXPECT_TRUE(take.taken) << "200 ms is still usable";
    EXPECT_EQ(take.ageMs, 200u);

    AdvanceMs(1);
    const std::uint64_t before = lastSequence;
    take = TakeCpu(store, lastSequence, 640, 360);
    EXPECT_FALSE(take.taken);
    EXPECT_EQ(take.ageMs, 201u);
    EXPECT_EQ(lastSequence, before);
}

TEST(FrameStore, AgeEdges) {
    Store store(&FakeClock, std::chrono::milliseconds(1));
    Publish(store, MakePicture(640, 360, 1), kNoAge);  // no end-to-end age: counts as 0
    AdvanceMs(50);
    {
        std::lock_guard<std::mutex> lock(store.mutex);
        EXPECT_EQ(store.ageAtPublishMs, 0u);
        EXPECT_EQ(store.CurrentAgeMs(), 50u);
        store.publishTimeNs = FakeClock() + 5'000'000;  // clock behind the publication
        EXPECT_EQ(store.CurrentAgeMs(), 0u);
        store.publishTimeNs = FakeClock() - 10'000'000;
        store.ageAtPublishMs = kNoAge - 5;  // the sum saturates instead of wrapping
        EXPECT_EQ(store.CurrentAgeMs(), kNoAge);
    }
}

TEST(FrameStore, SecondTakeWithoutPublicationWaitsThenDeliversTheSamePicture) {
    // Ages from the controlled clock: on a loaded machine the real time between the two takes
    // can pass 200 ms and make the picture too old, which is not what this case is about.
    Store store(&FakeClock);
    Publish(store, MakePicture(640, 360, 3), 10);
    std::uint64_t lastSequence = 0;
    const CpuTake first = TakeCpu(store, lastSequence, 640, 360);
    ASSERT_TRUE(first.taken);
    EXPECT_EQ(lastSequence, 1u);

    const auto start = std::chrono::steady_clock::now();
    const CpuTake second = TakeCpu(store, lastSequence, 640, 360);
    EXPECT_GE(MsSince(start), 15.0) << "no newer picture: the full wait";
    ASSERT_TRUE(second.taken);
    EXPECT_EQ(second.ageMs, 10u);
    EXPECT_EQ(lastSequence, 1u);
    EXPECT_EQ(first.destination, second.destination);
}

TEST(FrameStore, ConsumerAlreadyWaitingWakesOnPublicationWithTheNewPicture) {
    // A long wait makes "woken by the publication" distinguishable from "timed out".
    Store store(&SteadyNowNs, std::chrono::seconds(20));
    Publish(store, MakePicture(640, 360, 5), 0);
    std::uint64_t lastSequence = 1;  // the consumer has seen picture 1 already

    CpuTake take;
    double waited = 0;
    const std::uint8_t* replaced = store.frame.data();
    Picture handedBack;
    std::thread consumer([&] {
        const auto start = std::chrono::steady_clock::now();
        take = TakeCpu(store, lastSequence, 640, 360);
        waited = MsSince(start);
    });
    for (;;) {  // publish only once the consumer is inside its wait
        std::unique_lock<std::mutex> lock(store.mutex);
        if (store.waitingConsumers > 0) {
            handedBack = MakePicture(640, 360, 9);
            store.PublishPicture(handedBack, 0);
            break;
        }
        lock.unlock();
        std::this_thread::yield();
    }
    consumer.join();
    ASSERT_TRUE(take.taken);
    EXPECT_EQ(lastSequence, 2u);
    EXPECT_EQ(take.destination, MakePicture(640, 360, 9).bytes);
    // The publisher gets back the replaced picture's vector, emptied, for its next picture.
    EXPECT_TRUE(handedBack.bytes.empty() && handedBack.bytes.data() == replaced);
    EXPECT_LT(waited, 10000.0);
}

TEST(FrameStore, DirectDeliveryCropsTallerPicturesAndOtherSizesGoToScratch) {
    Store store(&FakeClock, std::chrono::milliseconds(1));
    const Picture tall = MakePicture(1920, 1088, 11);
    Publish(store, tall, 5);
    std::uint64_t lastSequence = 0;

    CpuTake take = TakeCpu(store, lastSequence, 1920, 1080);
    ASSERT_TRUE(take.taken);
    EXPECT_TRUE(take.direct);
    EXPECT_EQ(take.width, 1920u);
    EXPECT_EQ(take.height, 1088u);
    const std::size_t luma = 1920 * 1080;
    EXPECT_TRUE(std::equal(take.destination.begin(), take.destination.begin() + luma, tall.bytes.begin()));
    EXPECT_TRUE(std::equal(take.destination.begin() + luma, take.destination.end(),
                           tall.bytes.begin() + 1920 * 1088));

    Publish(store, MakePicture(1280, 720, 13), 5);
    take = TakeCpu(store, lastSequence, 640, 480);
    ASSERT_TRUE(take.taken);
    EXPECT_FALSE(take.direct);
    EXPECT_EQ(take.width, 1280u);
    EXPECT_EQ(take.height, 720u);
    const Picture expected = MakePicture(1280, 720, 13);
    EXPECT_TRUE(std::equal(expected.bytes.begin(), expected.bytes.end(), take.scratch.begin()));
    EXPECT_EQ(take.scratch[expected.bytes.size()], 0xEE) << "nothing written past the picture";
}

TEST(FrameStore, ScratchTooSmallAndNoDirectCopyLeavesLastSequence) {
    Store store(&FakeClock, std::chrono::milliseconds(1));
    Publish(store, MakePicture(1280, 720, 1), 5);
    std::uint64_t lastSequence = 0;
    const CpuTake take = TakeCpu(store, lastSequence, 640, 480, 1280 * 720 * 3 / 2 - 1);
    EXPECT_FALSE(take.taken);
    EXPECT_EQ(lastSequence, 0u);
    std::uint32_t ageMs = 7, width = 0, height = 0;
    bool direct = false;
    EXPECT_FALSE(store.TakeCpuFrame(nullptr, 10, nullptr, 10, 640, 480, lastSequence, ageMs, width, height, direct));
    EXPECT_EQ(ageMs, 7u) << "null buffers: outputs untouched";
}

TEST(FrameStore, TextureOnlyAndMemoryOnlyPublications) {
    Store store(&FakeClock, std::chrono::milliseconds(1));
    auto texture = std::make_shared<FakeTexture>(FakeTexture{42});

    Picture both = MakePicture(640, 360, 2);
    both.texture = texture;
    both.textureSubresource = 3;
    both.textureWidth = 640;
    both.textureHeight = 360;
    Publish(store, both, 5);
    EXPECT_EQ(texture.use_count(), 3) << "the test, the picture copy handed in, the store";

    std::uint64_t gpuSequence = 0;
    std::uint32_t ageMs = 0;
    Store::GpuFrame frame;
    ASSERT_TRUE(store.TakeGpuFrame(gpuSequence, ageMs, frame));
    EXPECT_EQ(frame.texture.get(), texture.get());
    EXPECT_EQ(frame.textureSubresource, 3u);
    EXPECT_EQ(frame.textureWidth, 640u);
    EXPECT_EQ(frame.textureHeight, 360u);
    EXPECT_EQ(gpuSequence, 1u);
    std::uint64_t cpuSequence = 0;
    EXPECT_TRUE(TakeCpu(store, cpuSequence, 640, 360).taken) << "texture and bytes: both takes work";

    // Texture only: the memory picture is gone although the sequence advanced.
    Picture textureOnly;
    textureOnly.texture = texture;
    textureOnly.width = 640;
    textureOnly.height = 360;
    textureOnly.textureWidth = 640;
    textureOnly.textureHeight = 360;
    Publish(store, textureOnly, 5);
    EXPECT_EQ(store.sequence, 2u);
    EXPECT_FALSE(TakeCpu(store, cpuSequence, 640, 360).taken);
    EXPECT_EQ(store.width, 0u);
    EXPECT_TRUE(store.TakeGpuFrame(gpuSequence, ageMs, frame));

    // Memory only: the store lets go of the texture.
    frame = Store::GpuFrame();
    Publish(store, MakePicture(640, 360, 4), 5);
    EXPECT_EQ(texture.use_count(), 3) << "the test and the two pictures, no longer the store";
    EXPECT_FALSE(store.TakeGpuFrame(gpuSequence, ageMs, frame));
    EXPECT_EQ(gpuSequence, 2u);
    EXPECT_EQ(store.textureWidth, 0u);
    EXPECT_TRUE(TakeCpu(store, cpuSequence, 640, 360).taken);
}

TEST(FrameStore, StaleTextureIsNotHandedOut) {
    Store store(&FakeClock, std::chrono::milliseconds(1));
    Picture picture;
    picture.texture = std::make_shared<FakeTexture>(FakeTexture{1});
    Publish(store, picture, 150);
    AdvanceMs(51);
    std::uint64_t lastSequence = 0;
    std::uint32_t ageMs = 0;
    Store::GpuFrame frame;
    EXPECT_FALSE(store.TakeGpuFrame(lastSequence, ageMs, frame));
    EXPECT_EQ(ageMs, 201u);
    EXPECT_EQ(lastSequence, 0u);
}

}  // namespace
