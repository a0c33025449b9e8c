// GoogleTest entry for the widget tests: one offscreen application for the whole run.
#include <gtest/gtest.h>

#include <QApplication>
#include <QtGlobal>

#include "app/vennick_application.h"

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    vennick::registerFontSubstitutes();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
