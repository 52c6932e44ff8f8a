#include "SlotEventPoster.h"
#include "SlotTestSupport.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

namespace {

class Receiver : public QObject {
public:
    bool event(QEvent* e) override {
        if (e->type() != SlotEvent::EventType)
            return QObject::event(e);
        auto* slotEvent = static_cast<SlotEvent*>(e);
        received.emplace_back(slotEvent->slotId(), slotEvent->code());
        onReceiverThread.push_back(QThread::currentThread() == thread());
        if (received.size() == expected && loop != nullptr)
            loop->quit();
        return true;
    }

    std::vector<std::pair<CK_SLOT_ID, CK_ULONG>> received;
    std::vector<bool> onReceiverThread;
    size_t expected = 0;
    QEventLoop* loop = nullptr;
};

int argc = 1;
char arg0[] = "slot_event_tests";
char* argv[] = {arg0, nullptr};

using SlotEventPosterTest = SlotTest;

TEST_F(SlotEventPosterTest, MonitorEventsArriveOnTheTargetsThread) {
    QCoreApplication app(argc, argv);
    Receiver receiver;
    receiver.expected = 2;
    setSlotEventTarget(manager, &receiver);

    addSlots({{1, tokenSlot()}});
    {
        std::lock_guard guard(fake().mutex);
        fake().polls = {{CKR_OK, 1, E_EVENT_LABEL_CHANGED}, {CKR_OK, 3, 269}};
    }
    manager.setPollInterval(std::chrono::milliseconds(1));
    ASSERT_TRUE(manager.initialize());

    QEventLoop loop;
    receiver.loop = &loop;
    // A bound that only matters when delivery is broken.
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    loop.exec();
    manager.stopMonitor();
    setSlotEventTarget(manager, nullptr);

    EXPECT_EQ(receiver.received, (std::vector<std::pair<CK_SLOT_ID, CK_ULONG>>{{1, 8}, {3, 269}}));
    EXPECT_EQ(receiver.onReceiverThread, (std::vector<bool>{true, true}));
    EXPECT_EQ(static_cast<int>(SlotEvent::EventType), QEvent::User + 0x400);
}

TEST_F(SlotEventPosterTest, EventsWithoutATargetAreDropped) {
    QCoreApplication app(argc, argv);
    Receiver receiver;
    postSlotEvent(nullptr, 1, 1);
    postSlotEvent(&receiver, 2, 2);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(receiver.received, (std::vector<std::pair<CK_SLOT_ID, CK_ULONG>>{{2, 2}}));
}

} // namespace
