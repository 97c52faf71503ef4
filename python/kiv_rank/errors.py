"""The two ways a ranking run stops early, told apart by the exit status."""


class InputError(Exception):
    """Bad usage or unreadable input: nothing is written (exit status 2)."""


class ImageFailed(Exception):
    """An image could not be scored and the run was asked to stop there (exit status 1)."""

    def __init__(self, image: object, message: str) -> None:
        super().__init__(f"image {image!r} failed: {message}")
        self.image = image
        self.message = message


class Stopped(BaseException):
    """SIGINT or SIGTERM arrived: the run ends, its workers with it, and nothing is written.
    A BaseException, as KeyboardInterrupt is, so that no `except Exception` holds it up."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum
