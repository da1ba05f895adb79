#pragma once

namespace brivane {

// How a long command ended; the CLI turns this into its exit code.
enum class Outcome {
    Done,     // did its job (exit 0)
    Message,  // a message box stopped it (exit 1)
    Stopped,  // the connection was lost or the user stopped it (exit 3)
};

} // namespace brivane
