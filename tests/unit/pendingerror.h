// For unit tests that provoke errors: an error the code under test marked
// as pending is reported and counted (its message swallowed), as the
// parser's recovery would, so that the next step starts with none pending.
#pragma once

#include "errorhlr.h"

#include <gtest/gtest.h>

inline void settlePendingError() {
  if (!isErrorPending())
    return;
  testing::internal::CaptureStderr();
  reportSyntaxError(SyntaxErrorInStatement);
  testing::internal::GetCapturedStderr();
}
