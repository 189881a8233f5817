// The daemon's side of `tide-clientctl explain`: what its queue, workers
// and registry hold for one path (proto/explain_message.h has the
// messages). Reads only; answered on the control loop's thread.
#pragma once

#include "proto/pobject.h"

namespace tide {

// The reply to an "explain" request; `all_paused` when a "pause"
// instruction holds every task.
PObject AnswerExplain(const PObject& request, bool all_paused);

}  // namespace tide
