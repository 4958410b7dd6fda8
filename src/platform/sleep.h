#pragma once

namespace tarvel {

void SleepMilliseconds(int milliseconds);

}  // namespace tarvel
