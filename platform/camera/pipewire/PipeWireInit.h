#pragma once
// PipeWire's library set-up, shared by every backend in the process.
namespace tovrelle::pipewire {
// Initialises the library once; safe from any thread.
void ensureInitialized();
}  // namespace tovrelle::pipewire
