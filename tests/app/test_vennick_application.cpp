// Errors that escape an event handler reach the error box, whatever was thrown, and the
// message loop goes on.
#include <gtest/gtest.h>

#include <QEvent>
#include <QObject>
#include <cstdlib>
#include <stdexcept>

#include "app/vennick_application.h"
#include "settings/app_error.h"
#include "support/recording_notifier.h"

namespace vennick {
namespace {

vennick::Notifier* notifier = nullptr;  // what the application shows its errors with

template <typename Thrown>
class Thrower : public QObject {
public:
    explicit Thrower(Thrown thrown) : thrown_(std::move(thrown)) {}
    bool event(QEvent* /*event*/) override { throw thrown_; }

private:
    Thrown thrown_;
};

template <typename Thrown>
std::vector<std::string> errorsShownFor(Thrown thrown) {
    test::RecordingNotifier boxes;
    notifier = &boxes;
    Thrower<Thrown> handler(std::move(thrown));
    QEvent event(QEvent::User);
    QCoreApplication::sendEvent(&handler, &event);
    notifier = nullptr;
    return boxes.errors;
}

TEST(VennickApplicationTest, ShowsItsOwnErrorsWithTheirMessageAndAnyOtherWithout) {
    EXPECT_EQ(errorsShownFor(AppError("Cannot create /x")),
              std::vector<std::string>{"Cannot create /x"});
    EXPECT_EQ(errorsShownFor(std::runtime_error("detail")), std::vector<std::string>{""});
    EXPECT_EQ(errorsShownFor(42), std::vector<std::string>{""});
}

}  // namespace
}  // namespace vennick

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    vennick::VennickApplication application(argc, argv, vennick::notifier);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
