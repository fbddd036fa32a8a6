"""Objects that fail, or mislead, at one protocol each: shared by the fuzz
tests and the leak hunt.  Every failure is a Boom, which must reach the
caller as it is."""


class Boom(Exception):
    pass


class Str(str):
    pass


class List(list):
    pass


class Dict(dict):
    pass


class Int(int):
    pass


class BadBool:
    def __bool__(self):
        raise Boom("__bool__")


class BadLen:
    def __len__(self):
        raise Boom("__len__")


class BadIndex:
    def __index__(self):
        raise Boom("__index__")


class BadInt:
    def __int__(self):
        raise Boom("__int__")


class BadIter:
    def __iter__(self):
        raise Boom("__iter__")


class BadFormat:
    def __format__(self, spec):
        raise Boom("__format__")


class BadStr:
    def __str__(self):
        raise Boom("__str__")


class Splits(str):
    """A content type whose split gives `parts`, whatever it holds."""

    def __new__(cls, parts):
        self = super().__new__(cls, "type/subtype")
        self.parts = parts
        return self

    def split(self, *args):
        return self.parts
