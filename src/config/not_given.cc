#include "config/not_given.h"

namespace halv {

const char kNotGiven[] = "?";

}  // namespace halv
