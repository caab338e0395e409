#ifndef HALV_CONFIG_NOT_GIVEN_H_
#define HALV_CONFIG_NOT_GIVEN_H_

namespace halv {

// The process-wide marker of a value that was not given: versions, the ids of an empty status,
// every transfer parameter by default.
extern const char kNotGiven[];

}  // namespace halv

#endif  // HALV_CONFIG_NOT_GIVEN_H_
