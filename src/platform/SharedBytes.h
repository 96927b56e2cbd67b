// Bytes written once and read by many: a broadcast encoded once is queued for
// every recipient, and handed to the WebSocket layer, as references to the
// same immutable string (the count is atomic, so the last holder may let go
// on any thread).
#pragma once

#include <memory>
#include <string>

using TSharedBytes = std::shared_ptr<const std::string>;
