// Visibility of the symbols that the host stand-in libraries export.
#pragma once

#define HVHOST_API __attribute__((visibility("default")))
