"""Pictures of matches: the stadium scene, the renderer, videos and the browser viewer. A new picture feature goes here."""
