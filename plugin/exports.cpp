// The entry points the voice client calls.
