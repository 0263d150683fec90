// One request of the loop: the checks before an operation and the dispatch.
#pragma once
#include <cstddef>

#include "agent/service/request_context.h"

namespace hvm {

// Processes the request the driver returned (returnedBytes of it) under the
// Connection's request lock and leaves the answer in reply. False when the
// Connection stopped being mapped meanwhile: the loop then ends, unanswered.
bool ProcessRequest(Connection& connection, LoopState& loop, const RequestRecord& request,
                    ReplyRecord& reply, size_t returnedBytes);

// The target of a shell command: "\QUENLODE\<connection>\<path>" built from
// the InternalRequest, or empty when none can be built.
std::u16string TargetNameOf(const Connection& connection, uint32_t code,
                            const InternalRequest& command);

}  // namespace hvm
