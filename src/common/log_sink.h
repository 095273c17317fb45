// A place to report one line of text. The service reports through one; the
// application log provides the real one.
#pragma once

#include <functional>

#include "common/text.h"

using LogSink = std::function<void(const WString&)>;
