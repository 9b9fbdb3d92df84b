#pragma once

namespace vantor {

// Initialises libcurl once per process, before the first transfer handle is made.
void EnsureCurlInitialised();

}  // namespace vantor
