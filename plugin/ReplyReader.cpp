// Filled in by its own work.
