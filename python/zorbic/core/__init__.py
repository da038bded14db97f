"""The batch core: a set-up (`MatchSetup`), the batch it builds (`SoccerBatch`) and the state its parts read (`BatchState`, `Field`)."""
