// What the web client's state needs around it in a test program: the debug layer with its log
// kept, threads and event queues, and per test the notification centre and the trust stores.
#pragma once

#include <gtest/gtest.h>

#include "core/certs/authenticate.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "core/web/web_get.h"
#include "tests/support/log_capture.h"

class WebGetEnvironment : public LogCaptureEnvironment {
  public:
    void SetUp() override {
        LogCaptureEnvironment::SetUp();
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        ASSERT_EQ(Thread_Init(), 1);
        ASSERT_EQ(EventQueue_Init(), 1);
    }
    void TearDown() override {
        EventQueue_Remove();
        Thread_Remove();
        LogCaptureEnvironment::TearDown();
    }
};

class WebGetTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(NotificationCenter_Init(), 1);
        Authenticate_Init();
        ASSERT_EQ(WebGet_Init(), 1);
        TakeLog();
    }
    void TearDown() override {
        if (WebGet_IsStarted()) WebGet_Remove();
        Authenticate_Remove();
        NotificationCenter_Remove();
        EventQueue_Flush(nullptr);
    }
};
