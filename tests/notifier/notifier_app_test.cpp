// The notifier end to end in this process: real mailslot sockets in a
// temporary run dir, a recording presenter and a test clock.
#include "notifier/notifier_app.h"

#include <gtest/gtest.h>

#include <future>

#include "notifier/udf_check.h"
#include "platform/mailslot.h"
#include "platform/named_event.h"
#include "platform/paths.h"
#include "tests/notifier/fakes.h"
#include "tests/notifier/test_messages.h"

namespace kelva::notifier {
namespace {

using namespace kelva::notifier::testing;
using platform::MailslotClient;
using platform::MailslotServer;

class NotifierAppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kelva-notifier-XXXXXX";
    dir_ = mkdtemp(tmpl);
  }
  void TearDown() override {
    if (app_) app_->RequestStop();
    if (run_.valid()) run_.wait();
    app_.reset();
    std::filesystem::remove_all(dir_);
  }

  NotifierOptions Options() {
    NotifierOptions o;
    o.clock = &clock_;
    o.run_dir = dir_;
    o.mount_root = "/media/kelva";
    o.presenter = &presenter_;
    o.inhibitor = &inhibitor_;
    return o;
  }
  void Start(NotifierOptions o) {
    app_ = std::make_unique<NotifierApp>(std::move(o));
    NotifierApp* a = app_.get();
    run_ = std::async(std::launch::async, [a] { return a->Run(); });
    ASSERT_TRUE(Eventually([&] { return a->serving(); }));
  }
  void Send(const std::vector<uint8_t>& m) {
    std::unique_ptr<MailslotClient> c;
    ASSERT_EQ(MailslotClient::Open(kNotifierMailslot, &c, platform::UserRunDir(dir_)), 0u);
    // Senders never wait: a burst that fills the mailslot is sent again here.
    platform::Win32Error e;
    while ((e = c->Write(m.data(), static_cast<uint32_t>(m.size()))) == platform::kMailslotFull)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(e, 0u);
  }
  // A notice that marks a point in the stream of messages.
  void SendMark(const std::string& name) {
    Send(Message(0, 1, u"mark", std::u16string(name.begin(), name.end())));
  }
  static std::string Mark(const std::string& name) { return "notice info: mark: " + name; }
  bool ShownLast(const std::string& line) {
    return Eventually([&] {
      auto s = presenter_.Shown();
      return !s.empty() && s.back() == line;
    });
  }

  std::filesystem::path dir_;
  platform::TestClock clock_;
  RecordingPresenter presenter_;
  FakeInhibitor inhibitor_;
  std::unique_ptr<NotifierApp> app_;
  std::future<int> run_;
};

TEST_F(NotifierAppTest, ShowsEachKindAndIgnoresShortMessagesAndOtherKinds) {
  Start(Options());
  Send(Message(0, 2, u"Kelva", u"[E2000]\nfull", 647));  // one byte short
  Send(Message(2, 0, u"Kelva", u"kind 2"));
  Send(Message(0x12, 0, u"Kelva", u"kind 0x12"));
  Send(Message(0, 3, u"Kelva", u"[E2000]\nfull"));
  Send(Message(0x10, 0, u"E:\\"));
  Send(Message(0x11, 0, u"E:\\"));
  SendMark("end");
  ASSERT_TRUE(ShownLast(Mark("end")));
  EXPECT_EQ(presenter_.Shown(), (std::vector<std::string>{"notice error: Kelva: [E2000] full",
                                                          "media inserted: /media/kelva/E",
                                                          "media removed: /media/kelva/E", Mark("end")}));
}

TEST_F(NotifierAppTest, ADialogHoldsBackLaterMessagesUntilClosed) {
  Start(Options());
  Send(Message(1, 0x30, u"Kelva", u"first"));
  ASSERT_TRUE(Eventually([&] { return presenter_.DialogOpen(); }));
  Send(Message(0, 1, u"Kelva", u"queued 1"));
  Send(Message(1, 0x10, u"Kelva", u"second dialog"));
  Send(Message(0x10, 0, u"F:\\"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(presenter_.Shown(), std::vector<std::string>{"dialog warning: Kelva: first"});

  presenter_.CloseDialog();
  ASSERT_TRUE(ShownLast("dialog error: Kelva: second dialog"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(presenter_.Shown().size(), 3u);  // the media message still waits
  presenter_.CloseDialog();
  ASSERT_TRUE(ShownLast("media inserted: /media/kelva/F"));
  EXPECT_EQ(presenter_.Shown(),
            (std::vector<std::string>{"dialog warning: Kelva: first", "notice info: Kelva: queued 1",
                                      "dialog error: Kelva: second dialog", "media inserted: /media/kelva/F"}));
}

// A dialog that carries a number (bytes 1..3) is answered through its
// sender's named event once the user closed it, not before; a dialog without
// a number, or one closed because the program ends, is not answered.
TEST_F(NotifierAppTest, ANumberedDialogIsAnsweredWhenTheUserClosesIt) {
  Start(Options());
  auto event_for = [&](const char* digits) {
    std::unique_ptr<platform::NamedEvent> e;
    EXPECT_EQ(platform::NamedEvent::Create(std::string(kDialogClosedEventPrefix) + digits, true, false, true, clock_,
                                           &e, nullptr, dir_),
              0u);
    return e;
  };
  auto answered = event_for("0A0B0C");
  auto unnumbered = event_for("000000");
  auto cancelled = event_for("000001");
  std::vector<uint8_t> m = Message(1, 0x10, u"Kelva", u"put the unit back");
  m[1] = 0x0C, m[2] = 0x0B, m[3] = 0x0A;
  Send(m);
  ASSERT_TRUE(Eventually([&] { return presenter_.DialogOpen(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(answered->IsSet());
  presenter_.CloseDialog();
  ASSERT_TRUE(Eventually([&] { return answered->IsSet(); }));

  Send(Message(1, 0x10, u"Kelva", u"no number"));
  ASSERT_TRUE(Eventually([&] { return presenter_.DialogOpen(); }));
  presenter_.CloseDialog();
  m[1] = 0x01, m[2] = 0, m[3] = 0;
  Send(m);
  ASSERT_TRUE(Eventually([&] { return presenter_.DialogOpen(); }));
  app_->RequestStop();
  ASSERT_EQ(run_.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_FALSE(unnumbered->IsSet());
  EXPECT_FALSE(cancelled->IsSet());
}

TEST_F(NotifierAppTest, ConcurrentSendersEachDeliverWholeMessages) {
  Start(Options());
  constexpr int kEach = 150;
  auto sender = [&](char16_t who) {
    for (int i = 0; i < kEach; ++i) {
      std::u16string text(200, who);  // long enough that a torn message would show
      text += u"#" + std::u16string(1, u'0' + i % 10);
      Send(Message(0, 1, std::u16string(1, who), text));
    }
  };
  std::thread a(sender, u'a'), b(sender, u'b');
  a.join();
  b.join();
  ASSERT_TRUE(Eventually([&] { return presenter_.Shown().size() == 2 * kEach; }));
  int seen_a = 0, seen_b = 0;
  for (const std::string& line : presenter_.Shown()) {
    const char who = line[std::string("notice info: ").size()];
    ASSERT_TRUE(who == 'a' || who == 'b') << line;
    int& seen = who == 'a' ? seen_a : seen_b;
    // Whole, and in each sender's own order.
    EXPECT_EQ(line, "notice info: " + std::string(1, who) + ": " + std::string(200, who) + "#" +
                        std::string(1, char('0' + seen % 10)));
    ++seen;
  }
  EXPECT_EQ(seen_a, kEach);
  EXPECT_EQ(seen_b, kEach);
}

TEST_F(NotifierAppTest, LongMessagesAreReadWholeAndJudgedByTheirFirst648Bytes) {
  Start(Options());
  auto big = Message(0, 2, u"Kelva", u"big", 10000);
  for (size_t i = 648; i < big.size(); ++i) big[i] = 0xFF;  // a quit kind later on must not count
  Send(big);
  Send(Message(7, 0, u"Kelva", u"kind 7", 5000));
  Send(Message(0, 1, u"Kelva", u"exactly 4096", 4096));
  Send(Message(0, 1, u"Kelva", u"4097", 4097));
  SendMark("end");
  ASSERT_TRUE(ShownLast(Mark("end")));
  EXPECT_EQ(presenter_.Shown(),
            (std::vector<std::string>{"notice warning: Kelva: big", "notice info: Kelva: exactly 4096",
                                      "notice info: Kelva: 4097", Mark("end")}));
  EXPECT_EQ(run_.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
}

TEST_F(NotifierAppTest, ALostMailslotIsCreatedAgainEvery3000Ms) {
  Start(Options());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the reader waits in its read
  const auto path = platform::MailslotPath(kNotifierMailslot, platform::UserRunDir(dir_));
  ASSERT_TRUE(std::filesystem::remove(path));
  clock_.Advance(3000);  // the idle reader looks
  ASSERT_TRUE(Eventually([&] { return !app_->serving(); }));

  // Meanwhile another server holds the name: the attempt fails and is repeated.
  std::unique_ptr<MailslotServer> squatter;
  ASSERT_EQ(MailslotServer::Create(kNotifierMailslot, true, clock_, &squatter, platform::UserRunDir(dir_)), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  clock_.Advance(2999);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(app_->server().recreate_attempts(), 0u);
  clock_.Advance(1);
  ASSERT_TRUE(Eventually([&] { return app_->server().recreate_attempts() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(app_->serving());

  squatter.reset();
  clock_.Advance(3000);
  ASSERT_TRUE(Eventually([&] { return app_->serving(); }));
  EXPECT_EQ(app_->server().recreate_attempts(), 2u);
  SendMark("back");
  EXPECT_TRUE(ShownLast(Mark("back")));
}

TEST_F(NotifierAppTest, QuitEndsTheProgramWithExitCode0) {
  Start(Options());
  Send(Message(0xFF, 0, u""));
  ASSERT_EQ(run_.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(run_.get(), 0);
  EXPECT_FALSE(std::filesystem::exists(platform::MailslotPath(kNotifierMailslot, platform::UserRunDir(dir_))));
}

TEST_F(NotifierAppTest, AStopClosesAnOpenDialog) {
  Start(Options());
  Send(Message(1, 0x40, u"Kelva", u"open"));
  ASSERT_TRUE(Eventually([&] { return presenter_.DialogOpen(); }));
  app_->RequestStop();
  ASSERT_EQ(run_.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(run_.get(), 0);
}

TEST_F(NotifierAppTest, ASecondNotifierRunsWithoutTheMailslot) {
  Start(Options());
  RecordingPresenter other_presenter;
  NotifierOptions o = Options();
  o.presenter = &other_presenter;
  NotifierApp second(std::move(o));
  auto second_run = std::async(std::launch::async, [&] { return second.Run(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(second.serving());
  SendMark("to the first");
  EXPECT_TRUE(ShownLast(Mark("to the first")));
  second.RequestStop();
  ASSERT_EQ(second_run.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(second_run.get(), 0);
  EXPECT_TRUE(other_presenter.Shown().empty());
  // Its end leaves the first one's mailslot alone.
  SendMark("still there");
  EXPECT_TRUE(ShownLast(Mark("still there")));
}

TEST_F(NotifierAppTest, AnOutdatedUdfDriverIsReportedBeforeMessagesAreServed) {
  NotifierOptions o = Options();
  o.udf_driver_version = [] { return std::optional<uint64_t>(FileVersion(6, 1, 7601, 22213)); };
  app_ = std::make_unique<NotifierApp>(std::move(o));
  NotifierApp* a = app_.get();
  run_ = std::async(std::launch::async, [a] { return a->Run(); });
  ASSERT_TRUE(Eventually([&] { return presenter_.DialogOpen(); }));
  EXPECT_FALSE(a->serving());
  EXPECT_EQ(presenter_.Shown(),
            std::vector<std::string>{std::string("dialog warning: ") + kProductName + ": " + kUdfWarningText});
  presenter_.CloseDialog();
  EXPECT_TRUE(Eventually([&] { return a->serving(); }));
}

}  // namespace
}  // namespace kelva::notifier
