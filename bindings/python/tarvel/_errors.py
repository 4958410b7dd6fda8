# SPDX-License-Identifier: MIT
"""The one exception of the package."""


class Error(Exception):
    """A call of the library failed; `reason` is the library's own text."""

    def __init__(self, reason):
        super().__init__(reason)
        self.reason = reason
