// The fixed byte strings the station and the office exchange on the line. Both ends must hold
// the same values, so the office takes the station's own definitions.
#pragma once

#include "call/LineTokens.h"

namespace marvolen::office {

using marvolen::AckToken;
using marvolen::ClockToken;
using marvolen::GoToken;
using marvolen::GreetingToken;
using marvolen::MessageToken;

inline constexpr char kCr = '\r';

}  // namespace marvolen::office
