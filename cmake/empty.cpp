// Stands in for a layer that has no units yet.
