// The fuzz build's pauses: a device double has no line whose timing a pause
// could protect, so waiting would only slow the search down (the listener's
// 200 ms after every header held the stream target to about 12 inputs a
// second).
#include "link/link_state.h"
#include "platform/sleep.h"

namespace tarvel {

void SleepMilliseconds(int) {}

}  // namespace tarvel

// The listener's waits on its state, redirected here by the linker
// (--wrap): they return at once, still honouring a stop. A stand-in until the
// state lets a test set its pauses.
extern "C" bool __wrap__ZN6tarvel9LinkState11WaitForStopEi(tarvel::LinkState* state, int) {
  return state->StopRequested();
}
