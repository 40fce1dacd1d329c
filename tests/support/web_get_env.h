// What the web client's state needs around it in a test program: the debug layer with its log
// kept, threads and event queues, and per test the notification centre and the trust stores.
#pragma once

#include "tests/support/source_path.h"
#include <gtest/gtest.h>

#include "core/certs/authenticate.h"
#include "core/net/async_socket.h"
#include "core/net/socket.h"
#include "core/platform/async_file.h"
#include "core/runtime/io_worker.h"
#include "core/runtime/meter.h"
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

// Test peers listen on 127.0.0.1, which no host whitelist holds: an authorize override that lets
// every host be fetched.
inline int64_t AllowEveryHost(const char*) {
    return 1;
}

// Sockets, files and the I/O worker, started as a program that fetches over the network starts
// them: the meters' lock first, since sockets and files report to meters across threads.
inline void StartNetServices() {
    ASSERT_EQ(Meter_Init(), 1);
    ASSERT_EQ(Socket_Init(), 1);
    ASSERT_EQ(IOWorker_Init(), 1);
    ASSERT_EQ(AsyncFile_Init(), 1);
    ASSERT_EQ(AsyncSocket_Init(), 1);
}

inline void StopNetServices() {
    AsyncSocket_Remove();
    AsyncFile_Remove();
    IOWorker_Remove();
    Socket_Remove();
    Meter_Remove();
}

class WebGetNetEnvironment : public WebGetEnvironment {
  public:
    void SetUp() override {
        WebGetEnvironment::SetUp();
        StartNetServices();
    }
    void TearDown() override {
        StopNetServices();
        WebGetEnvironment::TearDown();
    }
};

// The folder of the test source that calls it (where its peer scripts lie).
#define WEBGET_TEST_SOURCE_DIR() (SourcePath(__FILE__).substr(0, SourcePath(__FILE__).rfind('/')))

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
