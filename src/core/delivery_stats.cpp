// The counters' one instance.
#include "core/delivery_stats.h"

namespace mirto {
namespace {

DeliveryCounters counters;

}  // namespace

DeliveryCounters& Counters() noexcept { return counters; }

}  // namespace mirto
