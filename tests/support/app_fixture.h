#pragma once

#include <gtest/gtest.h>
#include <QPlainTextEdit>
#include <memory>

#include "app/tfmain.h"
#include "service/config.h"
#include "support/controls.h"
#include "support/fake_platform.h"
#include "support/main_window_state.h"
#include "support/test_server.h"
#include "ui_tfmain.h"

// A test server, the recording platform and the hidden main window, as after start-up.
// Register the server's answers in setUpServer(); the banner request gets a 404 unless a
// test answers it.
class AppFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        setUpServer(server);
        server.start();
        config = std::make_unique<ConfigOverride>(server.host());
        window = std::make_unique<TFMain>();
    }
    void TearDown() override {
        window.reset();
        config.reset();
    }
    virtual void setUpServer(TestServer&) {}

    void waitForDownload() { ::waitForDownload(*window); }

    // The main log, newest line first, without the time stamps.
    QStringList logLines(QPlainTextEdit* memo = nullptr) const {
        QStringList lines =
            (memo ? memo : UI(window, Memo1))->toPlainText().split(QLatin1Char('\n'));
        if (lines.size() == 1 && lines.front().isEmpty())
            return {};
        for (QString& line : lines)
            line = line.mid(11);  // "[HH:MM:SS] "
        return lines;
    }

    FakePlatform fake;
    TestServer server;
    std::unique_ptr<ConfigOverride> config;
    std::unique_ptr<TFMain> window;
};
