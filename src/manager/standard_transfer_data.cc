#include "manager/standard_transfer_data.h"

#include "http/http_session.h"
#include "transfer/transfer_status.h"

namespace halv {

namespace {

std::shared_ptr<HttpSession> CreateSession(const TransferBehavior& behavior) {
  return behavior.sessionFactory ? behavior.sessionFactory->Create() : nullptr;
}

}  // namespace

StandardTransferData::StandardTransferData(const TransferParams& params,
                                           const TransferBehavior& behavior)
    : params(params),
      behavior(behavior),
      status(std::make_shared<TransferStatusImpl>(params, behavior.settings.rateWindowSeconds,
                                                  behavior.settings.estimateHoldMilliseconds)),
      session(CreateSession(behavior)) {}

}  // namespace halv
