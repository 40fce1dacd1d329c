// The WorkflowRun instance's layout, shared by the run's own files and their tests.
#pragma once
#include <cstdint>

#include "workflow/workflow_run.h"

struct Process;
struct Workflow;

struct WorkflowRun {
    Class Header;
    Task* Owner;
    char TaskId[40];
    Workflow* Workflow_; // owned, made at the first start
    char* Url;           // expanded "url", owned
    int32_t UrlCapacity;
    Dictionary* Document; // the fetched document, merged over on each arrival
    Process* Worker;      // the elevated worker, when one was launched
    uint32_t Fetching;
    char EndPointId[40]; // the endpoint observed for "Connected" / "Running", or empty
    uint32_t WaitConnected;
    uint32_t WaitRunning;
    uint32_t WaitDisconnected; // the run went to the worker: a lost link ends it
};

// The endpoint the service was handed (null when none): runs reach the other process through it.
NotificationEndPoint* WorkflowRun_ServiceEndPoint();
