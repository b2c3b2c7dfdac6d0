// Placeholder for a subsystem folder that has no code yet.
