#include "sim/instrument.h"

namespace sim {

void build_models(Instrument&) {}

}  // namespace sim
