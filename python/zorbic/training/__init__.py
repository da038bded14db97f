"""Training and judging agents: the trainer, evaluation, and the files a trained model is kept in."""
