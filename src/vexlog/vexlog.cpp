// Placeholder until the trace library lands.
