#pragma once

// The logging entry points most code needs.
#include "log/ConsoleLogAppender.h"
#include "log/LogManager.h"
#include "log/LogSources.h"
