// The store's workers: a small pool of threads, as many as cores (at most
// 8), that the parallel scans share. The threads live for the whole run and
// sleep while no job runs.
#pragma once

#include <functional>

// The most workers a job may have.
constexpr int kMaxWorkers = 8;

// Threads a job may use: the cores the process may run on, at most 8; the environment variable
// DOLMIK_WORKERS (1 to 8) or SetWorkerCountForTest overrides.
int WorkerCount();
// Test hook: n workers (1 to 8) from the next job on; 0 goes back to the
// default.
void SetWorkerCountForTest(int n);

// Runs job(k) for k = 0 .. participants - 1 at once, participant 0 on the
// calling thread and the others on the pool's threads, and returns when all
// have returned. participants is cut to WorkerCount(). One job runs at a
// time: a second caller waits for the first job to end. A job must not run
// another job.
void RunOnWorkers(int participants, const std::function<void(int)>& job);
