# Packs plain arguments into a few big objects for plain_reader.cpp. Each
# function returns None when its arguments are not plain; any Exception it
# raises means the same. Nothing here calls code of the caller: only exact
# built-in types are looked into.
from array import array

try:
    # PyPy's builder copies each piece into one growing buffer: no list of
    # hundreds of thousands of references for the garbage collector to trace.
    from __pypy__.builders import StringBuilder as _Text
except ImportError:
    class _Text:
        def __init__(self):
            self._pieces = []
            self.append = self._pieces.append

        def build(self):
            return "".join(self._pieces)


_EXACT = 2**53


def _encodable(voter):
    # A voter id must have a UTF-8 encoding, as one read as bytes would: an
    # ASCII one has (isascii() is a length comparison on PyPy), any other is
    # encoded, which raises UnicodeEncodeError for a lone surrogate.
    if not voter.isascii():
        voter.encode()


def election(voters, projects, cost, approvers, total_utility):
    """The first five arguments at once, each item read once, with every
    voter id interned here to a dense index (a dict of str, which the JIT
    makes fast), as (utf8, lengths, numbers, costs, supporters):
    - utf8: the UTF-8 bytes of the project ids back to back: projects, the
      keys of cost, approvers and total_utility;
    - lengths: each of these ids' length in code points, in that order, then
      the length of each supporter list, then where each of the four groups
      of ids ends (the count of ids up to its end), then the count of
      entries of voters, of distinct ids among them, and of distinct voter
      ids in all; all counted as the items were read;
    - numbers: the utility of every supporter pair, then the values of
      total_utility (OverflowError beyond 32 bits);
    - costs: the values of cost (an int as the double equal to it);
    - supporters: the voter index of every supporter pair. The distinct ids
      of voters are 0, 1, ... in order of first occurrence; ids that only
      supporter lists name follow, in order of first occurrence.
    Exact str objects are equal exactly when their UTF-8 encodings are, so
    these indices are those of interning the encoded bytes; a voter id
    without an encoding (a lone surrogate) raises UnicodeEncodeError.
    Another thread may change a container meanwhile; the counts are those
    of the items actually read, and a dict changed during its reading raises
    RuntimeError."""
    if type(voters) is not list and type(voters) is not tuple:
        return None
    if type(projects) is not list and type(projects) is not tuple:
        return None
    if type(cost) is not dict or type(approvers) is not dict or type(total_utility) is not dict:
        return None
    index = {}
    entries = 0
    for voter in voters:
        if type(voter) is not str:
            return None
        if voter not in index:
            _encodable(voter)
            index[voter] = len(index)
        entries += 1
    listed = len(index)
    text = _Text()
    lengths = array("q")
    costs = array("d")
    groups = array("q")
    for item in projects:
        if type(item) is not str:
            return None
        text.append(item)
        lengths.append(len(item))
    groups.append(len(lengths))
    for key, value in cost.items():
        if type(key) is not str:
            return None
        if type(value) is not float:
            # An int as the double nearest to it: exact up to 2**53.
            if type(value) is not int or not -_EXACT <= value <= _EXACT:
                return None
            value = float(value)
        text.append(key)
        lengths.append(len(key))
        costs.append(value)
    groups.append(len(lengths))
    lists = []
    total = 0
    for key, supporters in approvers.items():
        if type(key) is not str or (type(supporters) is not list and type(supporters) is not tuple):
            return None
        text.append(key)
        lengths.append(len(key))
        lists.append(supporters)
        total += len(supporters)
    groups.append(len(lengths))
    # Both arrays at their full size at once: growing them step by step
    # costs more on PyPy than the loop itself, where each new raw block also
    # advances the garbage collector.
    sizes = array("q")
    voter_of = array("i", [0]) * total
    numbers = array("i", [0]) * total
    at_pair = 0
    for supporters in lists:
        first = at_pair
        for pair in supporters:
            if (type(pair) is not tuple and type(pair) is not list) or len(pair) != 2:
                return None
            voter, utility = pair
            if type(voter) is not str or type(utility) is not int:
                return None
            at = index.get(voter, -1)
            if at < 0:
                _encodable(voter)
                at = len(index)
                index[voter] = at
            # Past the end (a list that another thread grows meanwhile):
            # IndexError. Beyond 32 bits: OverflowError.
            voter_of[at_pair] = at
            numbers[at_pair] = utility
            at_pair += 1
        sizes.append(at_pair - first)
    if at_pair != total:
        return None
    for key, value in total_utility.items():
        if type(key) is not str or type(value) is not int:
            return None
        text.append(key)
        lengths.append(len(key))
        numbers.append(value)
    groups.append(len(lengths))
    lengths.extend(sizes)
    lengths.extend(groups)
    lengths.extend((entries, listed, len(index)))
    return text.build().encode(), lengths, numbers, costs, voter_of


# Single arguments, for the item by item reading (election_reader.cpp): the
# same checks, one argument at a time. Containers are snapshot first, so that
# another thread changing them meanwhile cannot pair a value with the wrong key.

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
