mkdir payload
