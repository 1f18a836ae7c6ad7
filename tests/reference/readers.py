"""The two readers written in Python, as the module should act.

The malformed-input tests load every document with both the module and
these, into recording models, and require the same calls and exceptions.
"""

import types

import pavro_cjson


def refuse_follower_list(kind):
    article = {"null": "", "object": "an "}.get(kind, "a ")
    raise TypeError("a follower list must be an array, not " + article + kind)


def follower_pairs(bag):
    """Pairs of a follower list; a scalar or mapping in its place is refused."""
    for types_, kind in ((bool, "boolean"), ((int, float), "number"), (str, "string"),
                         (type(None), "null"), (dict, "object")):
        if isinstance(bag, types_):
            refuse_follower_list(kind)
    i_bag = iter(bag)
    return zip(i_bag, i_bag)


def reference_load_small(chain, file, merge):
    """The whole-document reader written in Python, as the module should act."""
    obj = pavro_cjson.json.load(file)
    c_iter = iter(obj["codes"])
    codes = dict(zip(c_iter, c_iter))
    c_list = iter(obj["chain"])
    if merge:
        for start, bag in zip(c_list, c_list):
            for items, count in follower_pairs(bag):
                add_to_bag = chain.add_to_bag
                if codes:
                    add_to_bag(codes[start], tuple(codes[x] for x in items), count=count)
                else:
                    add_to_bag(start, items, count=count)
        return
    # Replace mode decodes everything before the model is emptied.
    decoded = []
    for start, bag in zip(c_list, c_list):
        pairs = [(tuple(codes[x] for x in items) if codes else tuple(items), count)
                 for items, count in follower_pairs(bag)]
        decoded.append((codes[start] if codes else start, pairs))
    chain.clear()
    for start_code, pairs in decoded:
        new_bag = pavro_cjson.ProbabilityBag()
        for follower, count in pairs:
            add = new_bag.add
            add(follower, count=count)
        set_bag = chain.set_bag
        set_bag(start_code, new_bag)


class ReferenceLoadBig:
    """The streaming reader written in Python over the same parser events.

    The chain table alternates start tokens and follower lists, and a
    follower list alternates followers and counts, by position, as the
    whole-document reader pairs them; an array or object is assembled whole
    wherever it stands.

    A pair goes to the model only once the parser has delivered the event
    after its count, so a number cut off by the end of the data is never
    taken for whole.
    """

    def __call__(self, chain, file, merge):
        parser = iter(pavro_cjson.ijson.parse(file))
        builder = pavro_cjson.ObjectBuilder()
        s = types.SimpleNamespace(
            depth=0, last_key=None, codes=None, start=None, follower=None,
            chain_pos=0, bag_pos=0, item_depth=0, in_codes=False, in_chain=False,
            in_bag=False, building_item=False, building_start=False,
            saw_chain=False, chain_before_codes=False, cleared=False, pending=None)

        def clear_once():
            if not merge and not s.cleared:
                chain.clear()
                s.cleared = True

        def hand_over(follower, count):
            add_to_bag = chain.add_to_bag
            if s.codes:
                start_code = s.codes[s.start]
                handed = self._decode(iter(follower), s.codes)
            else:
                start_code, handed = s.start, follower
            clear_once()
            add_to_bag(start_code, handed, count=count)
            return True

        def bag_value(element):
            s.bag_pos += 1
            if s.bag_pos % 2 == 1:
                s.follower = element
                return False
            follower, s.follower = s.follower, None
            s.pending = (follower, element)
            return False

        def flush_pending():
            if s.pending is not None:
                (follower, count), s.pending = s.pending, None
                hand_over(follower, count)

        def chain_element(is_start, is_end, event, value):
            if s.building_start:
                builder.event(event, value)
                if is_end and s.depth == 2:
                    s.start = builder.value
                    s.building_start = False
                    s.chain_pos += 1
                return
            if is_end:
                return
            start_position = s.chain_pos % 2 == 0
            if is_start:
                if start_position:
                    s.building_start = True
                    builder.event(event, value)
                elif event == "start_array":
                    s.in_bag = True
                    s.bag_pos = 0
                else:
                    refuse_follower_list("object")
                return
            if not start_position:
                refuse_follower_list(
                    {"string": "string", "boolean": "boolean", "null": "null"}.get(
                        event, "number"))
            s.start = value
            s.chain_pos += 1

        def dispatch(event, value):
            """One event; True when it handed a pair to the model."""
            is_start = event.startswith("start_")
            is_end = event.startswith("end_")
            if is_start:
                s.depth += 1
            if is_end:
                s.depth -= 1
            if event == "map_key":
                s.last_key = value
            if not s.in_codes and not s.in_chain and event == "start_array" and s.depth == 2:
                if s.last_key == "codes":
                    s.in_codes = True
                    builder.event(event, value)
                elif s.last_key == "chain":
                    s.in_chain = s.saw_chain = True
                    s.chain_before_codes = s.chain_before_codes or s.codes is None
                    s.chain_pos = 0
                    s.building_start = False
                    s.start = None
            elif event == "end_array" and s.depth == 1:
                if s.in_codes:
                    liter = iter(builder.value)
                    s.codes = dict(zip(liter, liter))
                    if s.chain_before_codes and s.codes:
                        raise ValueError("the chain table came before the code table")
                    builder.event(event, value)
                    s.in_codes = False
                if s.in_chain:
                    clear_once()
                s.in_chain = False
            elif s.in_chain and not s.in_bag:
                chain_element(is_start, is_end, event, value)
            elif s.in_chain and event == "end_array" and s.depth == 2:
                s.in_bag = False
                s.follower = None
                s.chain_pos += 1
            elif s.in_codes:
                builder.event(event, value)
            elif not s.in_bag:
                pass
            elif s.building_item:
                builder.event(event, value)
                if is_end and s.depth == s.item_depth - 1:
                    s.building_item = False
                    return bag_value(builder.value)
            elif is_start:
                s.building_item = True
                s.item_depth = s.depth
                builder.event(event, value)
            elif not is_end:
                return bag_value(value)
            return False

        for _, event, value in parser:
            flush_pending()
            dispatch(event, value)
        flush_pending()
        if not s.saw_chain:
            raise KeyError("chain")
        clear_once()

    @staticmethod
    def _decode(elements, codes):
        for x in elements:
            yield codes[x]
