# Packs plain arguments into a few big objects for plain_reader.cpp. Each
# function returns None when its argument is not plain; any Exception it
# raises means the same. Containers are snapshot first, so that another
# thread changing them meanwhile cannot pair a value with the wrong key.
from array import array


def _packed(ids):
    # The UTF-8 bytes of all ids back to back, and each id's length in code
    # points (UnicodeEncodeError for a lone surrogate).
    return "".join(ids).encode(), array("q", map(len, ids))


def ids(items):
    if type(items) is not list and type(items) is not tuple:
        return None
    items = list(items)
    for item in items:
        if type(item) is not str:
            return None
    return _packed(items)


def _entries(mapping):
    if type(mapping) is not dict:
        return None
    items = list(mapping.items())
    keys = [None] * len(items)
    values = [None] * len(items)
    at = 0
    for key, value in items:
        if type(key) is not str:
            return None
        keys[at] = key
        values[at] = value
        at += 1
    return keys, values


def numbers(mapping, value_type, code):
    entries = _entries(mapping)
    if entries is None:
        return None
    keys, values = entries
    for value in values:
        if type(value) is not value_type:
            return None
    # array("i", ...) raises OverflowError beyond 32 bits.
    return _packed(keys), array(code, values)


def supporter_lists(mapping):
    entries = _entries(mapping)
    if entries is None:
        return None
    keys, lists = entries
    total = 0
    for supporters in lists:
        if type(supporters) is not list:
            return None
        total += len(supporters)
    voters = [None] * total
    utilities = array("i", [0]) * total
    lengths = array("q", [0]) * len(lists)
    at = 0
    for index, supporters in enumerate(lists):
        begin = at
        for pair in supporters:
            if type(pair) is not tuple or len(pair) != 2:
                return None
            voter, utility = pair
            if type(voter) is not str or type(utility) is not int:
                return None
            voters[at] = voter
            utilities[at] = utility
            at += 1
        lengths[index] = at - begin
    if at != total:
        return None
    return _packed(keys), lengths, _packed(voters), utilities
