"""The package's one exception."""


class ReadError(OSError):
    """A file could not be read: it is missing or unreadable, is neither family, or is damaged.

    filename  the path (or the name of the stream) it was read from
    reason    what is wrong, in one line: the library's own reason for the readers that report
              one (open, read_header, detect_format); for the readers that print their message
              instead (read_tra, read_xi, ...), a note that it is on standard output
    code      the library's result code (plateio_read and its kin: 2 cannot open, 3 neither
              family, ...), or None where the library gave none
    errno     set when the operating system gave the reason (a missing or unreadable file)
    """

    def __init__(self, errno, reason, filename, code=None):
        super().__init__(errno, reason, filename)
        self.code = code

    @property
    def reason(self):
        return self.strerror

    def __reduce__(self):
        return (type(self), (self.errno, self.strerror, self.filename, self.code))

    def __str__(self):
        return f"{self.filename}: {self.strerror}"
