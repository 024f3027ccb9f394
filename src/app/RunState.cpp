#include "app/RunState.h"

namespace larkpost {

TRunState RunState;

}  // namespace larkpost
