// Finishing an import: revisits settled, duplicates dropped (the last
// capture of a URL wins), the first movie chosen, redirects kept as
// alternate URLs, the package filled and unused payload files deleted.
#pragma once

#include "import/capture.h"

namespace capture {

class Intake;

// Throws a Fault.
Result finish_import(Intake* intake);

}  // namespace capture
