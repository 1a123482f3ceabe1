// How a run of the series ends, whichever engine runs it.
#pragma once

enum class SeriesOutcome { COMPLETED, LIMIT, INTERRUPTED };
