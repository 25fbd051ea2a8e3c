// Removed once the store sources exist.
