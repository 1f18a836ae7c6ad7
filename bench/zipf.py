"""The model the speed benchmarks time: a chain learnt from codes drawn with
Zipf weights, as words of a text are."""

import itertools
import random

from pavro.bag import ChainModel

VOCABULARY_SIZE = 8300
ZIPF_EXPONENT = 0.8
FOLLOWER_LENGTH = 2


def zipf_sequence(pairs, seed):
    """`pairs` + 1 codes drawn with Zipf weights."""
    rng = random.Random(seed)
    vocabulary = ["w{}".format(i) for i in range(VOCABULARY_SIZE)]
    weights = itertools.accumulate(1.0 / (rank + 1) ** ZIPF_EXPONENT
                                   for rank in range(VOCABULARY_SIZE))
    return rng.choices(vocabulary, cum_weights=list(weights), k=pairs + 1)


def zipf_model(pairs, seed, model_type=ChainModel):
    """A model learnt from `pairs` + 1 codes drawn with Zipf weights."""
    return model_type.from_sequences([zipf_sequence(pairs, seed)], length=FOLLOWER_LENGTH)
