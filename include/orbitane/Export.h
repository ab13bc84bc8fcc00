#pragma once

// ORBITANE_API marks what liborbitane exports. The library is built with
// hidden visibility, so everything without the mark (the request core, the
// driver, the configuration readers it is made of) stays inside it.
#define ORBITANE_API __attribute__((visibility("default")))
