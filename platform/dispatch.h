#pragma once

#include <QObject>

#include <functional>

// Queues fn to run on the thread of context (the main thread for every widget), after the current event.
// It does not run if context is gone by then.
void postToMain(QObject* context, std::function<void()> fn);

// Runs fn on a worker of the global thread pool. Jobs are not serialised against each other.
void runInBackground(std::function<void()> fn);
