"""pelorin: keep large numeric buffers within a fixed memory budget.

The native core lives in :mod:`pelorin._core`; the exceptions it raises for the buffer
runtime are in :mod:`pelorin._errors`.
"""

from pelorin._errors import BudgetExceeded, IntegrityError, InvalidArgument

__version__ = "0.1.0"

__all__ = ["BudgetExceeded", "IntegrityError", "InvalidArgument", "__version__"]
