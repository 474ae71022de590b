// Run() body shared by the stand-in workers: reports a good start, then idles until asked to
// stop. Real workers replace it with their own loop.
#pragma once

#include "core/Thread.h"
#include "core/Win.h"

class CIdleWorker : public CThread {
 public:
  BOOL Run() override;
};
