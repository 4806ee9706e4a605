// Filled in by the unit's implementation.
