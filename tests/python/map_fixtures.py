"""Dictionaries and maps shared by the map tests."""
import tamsel.tamsel as ts

OUTPUTS = {ts.DictionaryItemOutput, ts.DictionaryItemInputOutput}
INPUTS = {ts.DictionaryItemInput, ts.DictionaryItemInputOutput}


def output(key, name, data_type):
    return ts.DictionaryItemOutput(key, name, data_type)


def make_dictionary(*items):
    return ts.Dictionary(list(items))


def output_map(*items):
    """A map accepting outputs over a dictionary of `items`."""
    return ts.DictionaryMap(make_dictionary(*items), set(OUTPUTS))


def layout(dictionary_map):
    """(name or None, position_bits, bits) of every entry."""
    return [(e.item.name if e.item is not None else None, e.position_bits, e.bits) for e in dictionary_map]
