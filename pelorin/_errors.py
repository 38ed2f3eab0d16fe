"""Exceptions of the buffer runtime. The native core looks these up by name when it raises."""


class InvalidArgument(ValueError):
    """An argument the runtime cannot accept."""

    def __init__(self, message: str) -> None:
        super().__init__(message)


class IntegrityError(RuntimeError):
    """Bytes brought back did not match the digest recorded for them."""

    def __init__(self, message: str) -> None:
        super().__init__(message)


class BudgetExceeded(MemoryError):
    """The budget has no room for the request, even after compressing and dropping."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
