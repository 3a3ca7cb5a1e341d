"""The package's one exception."""


class ReadError(OSError):
    """A file could not be read: it is missing or unreadable, is neither family, or the library
    refused it. `filename` is the path; `errno` is set when the operating system gave the reason;
    `strerror` says what failed. When the library refused the file, its own message is on standard
    output, as in any host of the library."""

    def __init__(self, errno, strerror, filename):
        super().__init__(errno, strerror, filename)

    def __str__(self):
        return f"{self.filename}: {self.strerror}"
