"""Small text helpers shared by the progress line and the summary."""


def plural(count: int) -> str:
    return "" if count == 1 else "s"


def one_line(text: str) -> str:
    return text.replace("\r", "\\r").replace("\n", "\\n")
