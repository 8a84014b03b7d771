// The evaluator as the datatypes reach it; filled in by the evaluator at start-up.
#include "datatypes/user_code.h"

namespace zav::user_code {

Evaluator evaluator = {};

}  // namespace zav::user_code
