#include "nuvlib/stdobject.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "nuvlib/ems.h"
#include "nuvlib/stdarray.h"

namespace sample {

// A class with its own record, named like the timer root, and a subclass without one.
class Timer : public StdObject {
    STD_OBJECT_DECLARE(Timer)
};
STD_OBJECT_IMPLEMENT(Timer, StdObject)

class SessionTimer : public Timer {};

}  // namespace sample

namespace {

int RegistryCount() {
    const StdQueue* r = StdObjectRegistry();
    return r == nullptr ? -1 : r->Count();
}

TEST(StdObject, RegistryHeadLivesWhileObjectsDo) {
    CreateStdObjectLock();
    EXPECT_EQ(StdObjectRegistry(), nullptr);
    {
        StdObject a;
        EXPECT_EQ(RegistryCount(), 1);
        EXPECT_EQ(a.objectID, 0);
        EXPECT_EQ(a.m_TransferFlags, 0u);
        EXPECT_TRUE(a.m_ObjectLinks.IsQueued());
        {
            sample::Timer b;
            StdObject c(a);  // a copy is an object of its own
            EXPECT_EQ(RegistryCount(), 3);
            EXPECT_EQ(StdObjectRegistry()->First(), static_cast<StdObjectBase*>(&a));
            EXPECT_EQ(StdObjectRegistry()->Last(), static_cast<StdObjectBase*>(&c));
        }
        EXPECT_EQ(RegistryCount(), 1);
    }
    EXPECT_EQ(StdObjectRegistry(), nullptr);  // freed with the last object
    auto* again = new StdObject;
    ASSERT_NE(StdObjectRegistry(), nullptr);
    EXPECT_EQ(RegistryCount(), 1);
    EXPECT_EQ(StdObjectRegistry()->GetLinkOffset(),
              reinterpret_cast<char*>(&again->m_ObjectLinks) - reinterpret_cast<char*>(
                                                                   static_cast<StdObjectBase*>(again)));
    StdObjectClassInfo* info = again->GetClassInfo();
    info->destroy(again);  // the deleting destructor
    EXPECT_EQ(StdObjectRegistry(), nullptr);
}

TEST(StdObject, ObjectsMayComeAndGoOnManyThreads) {
    CreateStdObjectLock();
    StdObject keeper;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 500; ++i) {
                StdObject a;
                sample::Timer b;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(RegistryCount(), 1);
}

TEST(StdObject, ClassRecordsChainToTheBase) {
    sample::SessionTimer subclass;
    StdShortArray shorts;
    StdArray<sample::Timer> timers;
    const struct {
        StdObjectBase* object;
        std::vector<std::string> chain;
    } cases[] = {
        {&subclass, {"Timer", "StdObject", "StdObjectBase"}},
        {&shorts, {"StdShortArray", "StdObject", "StdObjectBase"}},
        {&timers, {"StdObjectArrayBase", "StdObject", "StdObjectBase"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> chain;
        for (StdObjectClassInfo* i = c.object->GetClassInfo(); i != nullptr; i = i->baseClass.load())
            chain.push_back(i->className);
        EXPECT_EQ(chain, c.chain);
    }
    StdObjectClassInfo* info = subclass.GetClassInfo();
    EXPECT_EQ(info->version, 65535);
    EXPECT_EQ(info->classNumber, 65535);
    EXPECT_EQ(info->objectSize, sizeof(sample::Timer));

    // Construct in place through the record, then destroy through it.
    alignas(sample::Timer) unsigned char storage[sizeof(sample::Timer)];
    StdObjectBase* built = info->constructInPlace(storage);
    EXPECT_STREQ(built->GetClassInfo()->className, "Timer");
    built->~StdObjectBase();
}

TEST(StdObjectDeath, SecondLockCreationIsFatal) {
    CreateStdObjectLock();
    EXPECT_EXIT(CreateStdObjectLock(), ::testing::ExitedWithCode(162), "");
}

TEST(StdArray, GrowthRule) {
    const struct {
        int32_t size, maxSize, growBy, request, capacity;
    } cases[] = {
        {100, 100, 0, 101, 112},    {20, 20, 0, 21, 24},       {3, 3, 0, 4, 7},
        {10000, 10000, 0, 10001, 11024}, {100, 100, 0, 500, 500}, {10, 10, 5, 11, 15},
        {8192, 8192, 0, 8193, 9216},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StdArrayNewCapacity(c.size, c.maxSize, c.growBy, c.request), c.capacity)
            << c.size << " -> " << c.request;
        StdShortArray a;
        a.SetSize(c.size, c.growBy);
        EXPECT_EQ(a.GetMaxSize(), c.size);  // the first block is exact
        a.SetSize(c.request);
        EXPECT_EQ(a.GetSize(), c.request);
        EXPECT_EQ(a.GetMaxSize(), c.capacity);
    }
}

TEST(StdArray, ShrinkKeepsTheBlockAndRegrowingZeroes) {
    StdShortArray a;
    for (int i = 0; i < 20; ++i) a.SetAtGrow(i, static_cast<int16_t>(i + 1));
    const int32_t capacity = a.GetMaxSize();
    const int16_t* block = a.GetData();
    a.SetSize(5);
    EXPECT_EQ(a.GetSize(), 5);
    EXPECT_EQ(a.GetMaxSize(), capacity);
    EXPECT_EQ(a.GetData(), block);
    a.SetSize(20);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(a.GetAt(i), i + 1);
    for (int i = 5; i < 20; ++i) EXPECT_EQ(a.GetAt(i), 0);
    a.SetSize(0);
    EXPECT_EQ(a.GetData(), nullptr);
    EXPECT_EQ(a.GetMaxSize(), 0);
}

TEST(StdArray, ObjectArrayDoesNotOwnItsObjects) {
    sample::Timer t1, t2;
    {
        StdArray<sample::Timer> timers;
        timers.SetAtGrow(3, &t2);
        timers.SetAtGrow(0, &t1);
        EXPECT_EQ(timers.GetSize(), 4);
        EXPECT_EQ(timers[0], &t1);
        EXPECT_EQ(timers.GetAt(1), nullptr);
        EXPECT_EQ(timers.GetAt(3), &t2);
    }
    EXPECT_STREQ(t1.GetClassInfo()->className, "Timer");  // still alive
}

}  // namespace
