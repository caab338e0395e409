#include "manager/standard_transfer_data.h"

#include "http/http_session.h"
#include "transfer/transfer_status_impl.h"

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
      // The status reads this record's params (not the argument's) at every snapshot.
      status(std::make_shared<TransferStatusImpl>(
          this->params, static_cast<std::uint32_t>(behavior.settings.rateWindowSeconds),
          static_cast<std::uint32_t>(behavior.settings.estimateHoldMilliseconds))),
      session(CreateSession(behavior)) {}

}  // namespace halv
