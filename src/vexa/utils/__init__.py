"""General helpers of the framework."""
