from veltrax.cli import main

raise SystemExit(main())
