/*
 * WaitCommEvent: the port never raises an event, so a wait either ends at
 * once or is held until something ends it.
 */
#include "port_fixture.h"

#include <atomic>
#include <thread>

namespace
{

using hk::Bytes;
using hk::Word;
using hk::WordAt;

class WaitTest : public OpenPortTest
{
  protected:
    hk::RequestPtr StartWait()
    {
        return file->StartDeviceControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    }
    /* The event value 0, with its 4 bytes: with none, kernel32 would leave
       the program's variable as it was. */
    void ExpectEndedWithoutEvent(const hk::RequestPtr& wait)
    {
        ASSERT_TRUE(wait->Wait());
        EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
        EXPECT_EQ(wait->Information(), 4u);
        EXPECT_EQ(WordAt(wait->Output()), 0u);
    }
};

TEST_F(WaitTest, EndsAtOnceForNoMaskAndForTransmitEmpty)
{
    auto wait = StartWait();
    ASSERT_TRUE(wait->Completed());
    EXPECT_EQ(wait->Information(), 4u);
    EXPECT_EQ(WordAt(wait->Output()), 0u);

    file->DeviceControl(IOCTL_SERIAL_SET_WAIT_MASK, Word(SERIAL_EV_TXEMPTY | SERIAL_EV_CTS));
    wait = StartWait();
    ASSERT_TRUE(wait->Completed());
    EXPECT_EQ(wait->Information(), 4u);
    EXPECT_EQ(WordAt(wait->Output()), (ULONG)SERIAL_EV_TXEMPTY);

    Bytes mask;
    file->DeviceControl(IOCTL_SERIAL_GET_WAIT_MASK, {}, 4, &mask);
    EXPECT_EQ(WordAt(mask), (ULONG)(SERIAL_EV_TXEMPTY | SERIAL_EV_CTS));
}

TEST_F(WaitTest, PendsUntilTheMaskIsSetAgain)
{
    file->DeviceControl(IOCTL_SERIAL_SET_WAIT_MASK, Word(SERIAL_EV_CTS));
    auto wait = StartWait();
    EXPECT_FALSE(wait->Completed());
    file->DeviceControl(IOCTL_SERIAL_SET_WAIT_MASK, Word(SERIAL_EV_CTS));
    ExpectEndedWithoutEvent(wait);
}

TEST_F(WaitTest, BadNewMaskStillEndsTheWaitAndKeepsTheOldMask)
{
    file->DeviceControl(IOCTL_SERIAL_SET_WAIT_MASK, Word(SERIAL_EV_DSR));
    auto wait = StartWait();
    EXPECT_EQ(file->DeviceControl(IOCTL_SERIAL_SET_WAIT_MASK, Bytes{1, 0}),
              STATUS_INVALID_PARAMETER);
    ExpectEndedWithoutEvent(wait);
    EXPECT_EQ(WaitMask(), (ULONG)SERIAL_EV_DSR);
}

TEST_F(WaitTest, ASecondWaitEndsTheFirst)
{
    file->DeviceControl(IOCTL_SERIAL_SET_WAIT_MASK, Word(SERIAL_EV_RING));
    auto first = StartWait();
    auto second = StartWait();
    ExpectEndedWithoutEvent(first);
    EXPECT_FALSE(second->Completed());
    file->DeviceControl(IOCTL_SERIAL_SET_WAIT_MASK, Word(0));
    ExpectEndedWithoutEvent(second);
}

TEST_F(WaitTest, CleanupOfAnotherHandleEndsTheWait)
{
    auto other = Open();
    file->DeviceControl(IOCTL_SERIAL_SET_WAIT_MASK, Word(SERIAL_EV_CTS));
    auto wait = StartWait();
    other->Close();
    ExpectEndedWithoutEvent(wait);
}

TEST_F(WaitTest, ClosingTheWaitingHandleEndsTheWaitBeforeTheClose)
{
    file->DeviceControl(IOCTL_SERIAL_SET_WAIT_MASK, Word(SERIAL_EV_CTS));
    auto wait = StartWait();
    file->Close();
    ExpectEndedWithoutEvent(wait);
    EXPECT_EQ(hid->Closes(), 1u);
}

TEST_F(WaitTest, KeyingProgramCancelsItsWait)
{
    file->DeviceControl(IOCTL_SERIAL_SET_WAIT_MASK, Word(SERIAL_EV_CTS));
    auto wait = StartWait();
    EXPECT_TRUE(wait->Cancel());
    ASSERT_TRUE(wait->Wait());
    EXPECT_EQ(wait->Status(), STATUS_CANCELLED);
    EXPECT_FALSE(WaitPending());

    /* Nothing is left to end later. */
    file->DeviceControl(IOCTL_SERIAL_SET_WAIT_MASK, Word(0));
    EXPECT_FALSE(wait->Cancel());
}

/*
 * CancelIoEx can mark a wait cancelled before the port has set a cancel
 * routine on it; holding it then would leave it pending for good.
 */
TEST_F(WaitTest, WaitCancelledBeforeItIsHeldEndsAsCancelled)
{
    file->DeviceControl(IOCTL_SERIAL_SET_WAIT_MASK, Word(SERIAL_EV_CTS));
    auto held = StartWait();
    auto cancelled = file->StartCancelledDeviceControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    ASSERT_TRUE(cancelled->Wait(std::chrono::milliseconds(1000)))
        << "a wait cancelled on arrival was held";
    EXPECT_EQ(cancelled->Status(), STATUS_CANCELLED);
    EXPECT_EQ(cancelled->Information(), 0u);
    /* Like any new wait, it ended the one held before it. */
    ExpectEndedWithoutEvent(held);
    EXPECT_FALSE(WaitPending());

    /* The slot is free for the next wait, which cancels as usual. */
    auto next = StartWait();
    EXPECT_FALSE(next->Wait(std::chrono::milliseconds(50)));
    EXPECT_TRUE(next->Cancel());
    ASSERT_TRUE(next->Wait());
    EXPECT_EQ(next->Status(), STATUS_CANCELLED);
}

TEST_F(WaitTest, SystemRequestEndsTheWait)
{
    file->DeviceControl(IOCTL_SERIAL_SET_WAIT_MASK, Word(SERIAL_EV_CTS));
    auto wait = StartWait();
    CompletePendingWait(Ext());
    ExpectEndedWithoutEvent(wait);
}

/*
 * Cancels, new waits, new masks, cleanups and system requests race for the
 * one held wait from several threads; every wait must end exactly once
 * (the bench reports a second completion) and none may stay behind.
 */
TEST_F(WaitTest, RacesForTheHeldWaitCompleteEachRequestOnce)
{
    file->DeviceControl(IOCTL_SERIAL_SET_WAIT_MASK, Word(SERIAL_EV_CTS));
    constexpr int rounds = 300;
    std::mutex waitsLock;
    std::vector<hk::RequestPtr> waits;
    std::atomic<bool> stop{false};

    std::thread waiter([&] {
        auto own = Open();
        for (int i = 0; i < rounds; i++)
        {
            auto wait = own->StartDeviceControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
            std::lock_guard<std::mutex> guard(waitsLock);
            waits.push_back(wait);
        }
        own->DeviceControl(IOCTL_SERIAL_SET_WAIT_MASK, Word(SERIAL_EV_CTS));
    });
    std::thread canceller([&] {
        while (!stop)
        {
            hk::RequestPtr last;
            {
                std::lock_guard<std::mutex> guard(waitsLock);
                if (!waits.empty())
                    last = waits.back();
            }
            if (last)
                last->Cancel();
            std::this_thread::yield();
        }
    });
    std::thread masker([&] {
        auto own = Open();
        while (!stop)
        {
            own->DeviceControl(IOCTL_SERIAL_SET_WAIT_MASK, Word(SERIAL_EV_CTS));
            hk::SendPnp(port, IRP_MN_QUERY_CAPABILITIES);
            auto brief = Open();
            brief->Close();
        }
    });

    waiter.join();
    stop = true;
    canceller.join();
    masker.join();
    CompletePendingWait(Ext());

    ASSERT_EQ(waits.size(), (size_t)rounds);
    for (auto& wait : waits)
    {
        ASSERT_TRUE(wait->Wait());
        EXPECT_TRUE(wait->Status() == STATUS_SUCCESS || wait->Status() == STATUS_CANCELLED);
    }
}

} // namespace
