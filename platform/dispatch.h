#pragma once

#include <QObject>

#include <functional>

// Queues fn to run on the thread of context (the main thread for every widget), after the current event.
// It does not run if context is gone by then.
void postToMain(QObject* context, std::function<void()> fn);

// Runs fn on a worker of the panel's own thread pool. Jobs are not serialised against each other.
void runInBackground(std::function<void()> fn);

// A callable for any thread that runs fn on the main thread, if guard still exists by then. Status
// queries call back on the network thread; this is how their answer reaches a screen safely.
std::function<void()> onMainThread(QObject* guard, std::function<void()> fn);
