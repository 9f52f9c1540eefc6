"""The driver's own failures, each with the one line a person reads."""


class BadInput(Exception):
    """Input that stops the run before anything changes: one line naming the file and the key."""


class StepError(Exception):
    """A step of a VNet's switch raised; its records up to there are saved."""

    def __init__(self, step, text):
        super().__init__(step + ": " + text)
        self.step = step


def text_of(error):
    """The first line of an exception's text, or its type when the text is empty."""
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__
