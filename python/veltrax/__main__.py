from veltrax.shell import main

raise SystemExit(main())
