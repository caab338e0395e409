#ifndef HALV_EVENT_ANALYTICS_MANAGER_H_
#define HALV_EVENT_ANALYTICS_MANAGER_H_

#include <cstdint>

#include "event/event_manager.h"

namespace halv {

// The category of analytics events that go to the transfer analytics endpoint; every other
// category goes to the event analytics endpoint.
inline constexpr std::int32_t kTransferAnalyticsCategory = 32;

// An event manager whose events are analytics documents posted to the service's collectors.
// Producers make an event with CreateEventWork(category), fill its tree and Submit it.
// Ownership and thread-safety: as EventManager.
class AnalyticsManager : public EventManager {
 public:
  using EventManager::EventManager;
};

}  // namespace halv

#endif  // HALV_EVENT_ANALYTICS_MANAGER_H_
