// Hooks that put process-wide state back to its start (or replace what a
// test must not really do). They are defined beside the state they reset;
// only tests declare and call them.
#pragma once

#include <cstdint>
#include <functional>

#include "agent/shell_helpers.h"

namespace zem {

class ServiceApi;
class PlaceholderProvider;

namespace agent {
// The agent's start-up values.
void ResetAgentStateForTest();
// Replaces the hand-over to the desktop (tests record instead of opening);
// an empty handler restores the platform's.
void SetShellHandlerForTest(ShellHandler handler);
}  // namespace agent

// The default service configuration and an empty authorization line.
void ResetBackendForTest();

void ResetFolderIdMapForTest();
// Forgets the holds and the sync root of the change handlers.
void ResetChangeHandlersForTest();
// A fresh agent queue.
void ResetUploadQueueForTest();
// Empties the map and forgets the file path.
void ResetDirtyCacheForTest();
void ResetKnownFilesForTest();
void ResetRecentTransfersForTest();
// Empties the list and drops the hooks; `clock` (monotonic ns) replaces the
// steady clock when set.
void ResetProgressEntriesForTest(std::function<int64_t()> clock = nullptr);

// Put `service` / `provider` in the place of the engine's default service
// (client/) and placeholder provider (platform/); nullptr restores the
// default. Only while no engine thread runs.
void SetServiceForTest(ServiceApi* service);
void SetPlaceholderProviderForTest(PlaceholderProvider* provider);

// Both replacements for a test's scope.
class ScopedEngineSeamsForTest {
 public:
  ScopedEngineSeamsForTest(ServiceApi& service, PlaceholderProvider& provider) {
    SetServiceForTest(&service);
    SetPlaceholderProviderForTest(&provider);
  }
  ~ScopedEngineSeamsForTest() {
    SetServiceForTest(nullptr);
    SetPlaceholderProviderForTest(nullptr);
  }
  ScopedEngineSeamsForTest(const ScopedEngineSeamsForTest&) = delete;
  ScopedEngineSeamsForTest& operator=(const ScopedEngineSeamsForTest&) = delete;
};

}  // namespace zem
