// Tests land with the reader.
