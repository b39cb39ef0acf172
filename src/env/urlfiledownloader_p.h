#pragma once
// Filled in by its own change.
