"""What a person sees: the progress line, the outcomes and the summary."""
