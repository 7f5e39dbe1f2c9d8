// Change notifications; see notify.h.
#include "runner/notify.h"

namespace vy {

int notifyChange(const WorkerContext& /*context*/, GroupConfig& /*group*/, int /*index*/) {
  return 0;
}

}  // namespace vy
